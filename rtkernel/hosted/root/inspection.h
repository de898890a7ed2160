// The root directory as an operator's tool sees it: which names stand there,
// what each one is, and a wait for a name to be held or to go. All of it only
// looks, by the same examination and liveness rule the kernel uses, and
// nothing of it belongs to a process that holds names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rtkernel/hosted/errors.h"
#include "rtkernel/hosted/root/directory.h"
#include "rtkernel/hosted/root/entry.h"

namespace hosted {

struct EntryReport {
    // Live and Stale are the kernel's own answer; Damaged is whatever no live
    // object can hold: a record that is not whole, or a file that is no
    // entry; Unknown is an entry file that cannot be read, whose holder
    // cannot be told.
    enum class State { Live, Stale, Damaged, Unknown } state = State::Damaged;
    EntryKind kind = EntryKind::Unlockable;
    std::uint16_t type = 0;       // the recorded object type of a whole record
    std::int64_t pid = 0;         // the holder's process id, only while it lives
    std::int64_t modifiedAt = 0;  // when the entry was written, in seconds since the epoch
};

// Only what a name can be, sorted: work files and anything else no caller
// could catalog are not names.
ErrorCode ListNames(const RootDirectory& root, std::vector<std::string>& names);
ErrorCode Describe(const RootDirectory& root, const char* name, EntryReport& report);

// What a wait for a name waits for: a live holder (of the given process id,
// when one is given), or with `live` false for no such holder any more: the
// name absent, its holder dead, or another process holding it.
struct Awaited {
    bool live = true;
    std::int64_t pid = 0;  // 0: any process
};
// Waits up to waitMs for that, at the name in the root directory at path,
// whether that directory exists yet or not, and through its removal and
// re-creation; creates nothing. TimedOut when it does not come by then;
// NotOwner when the process awaited by pid ended without holding the name
// (wait.cpp).
ErrorCode WaitForName(const std::string& path, const char* name, const Awaited& awaited,
                      std::uint32_t waitMs);

}  // namespace hosted
