// The process's handle table: 16-bit handles to the objects the kernel knows.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "rtkernel/kernel.h"

namespace hosted {

class RootEntry;

enum class ObjectKind { Thread, Process, RootProcess, Mailbox, Memory, RootEntry };

struct KernelObject {
    ObjectKind kind;
    std::shared_ptr<RootEntry> rootEntry;  // for RootEntry: what a root-directory lookup found
    std::int32_t hostThread = 0;           // for Thread: the host's id of the thread, as gettid gives it
};

class HandleTable {
public:
    explicit HandleTable(std::size_t capacity = kBadHandle - 1);

    // kBadHandle when the table is full.
    Handle Add(KernelObject object);
    std::optional<KernelObject> Find(Handle handle) const;
    bool Remove(Handle handle);
    // The first handle whose object satisfies the predicate, or kBadHandle.
    Handle FindIf(const std::function<bool(const KernelObject&)>& predicate) const;
    void RemoveIf(const std::function<bool(const KernelObject&)>& predicate);
    std::size_t Size() const;

private:
    Handle NextFreeHandle() const;

    mutable std::mutex mutex_;
    std::map<Handle, KernelObject> objects_;
    std::size_t capacity_;
    // Handles are handed out round the whole range before one is reused, so a
    // stale handle kept by a caller is unlikely to name a newer object.
    Handle cursor_ = 0;
};

}  // namespace hosted
