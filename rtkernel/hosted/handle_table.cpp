// The handle table: 16-bit handles to the objects the kernel knows.
#include "rtkernel/hosted/handle_table.h"

#include <utility>

namespace hosted {

HandleTable::HandleTable(std::size_t capacity)
    : capacity_(capacity < kBadHandle - 1 ? capacity : kBadHandle - 1) {}

Handle HandleTable::NextFreeHandle() const {
    Handle candidate = cursor_;
    do {
        candidate = static_cast<Handle>(candidate + 1);
        if (candidate == kBadHandle) {
            candidate = 1;
        }
    } while (objects_.contains(candidate));
    return candidate;
}

Handle HandleTable::Add(KernelObject object) {
    std::lock_guard lock(mutex_);
    if (objects_.size() >= capacity_) {
        return kBadHandle;
    }
    cursor_ = NextFreeHandle();
    objects_.emplace(cursor_, std::move(object));
    return cursor_;
}

std::optional<KernelObject> HandleTable::Find(Handle handle) const {
    std::lock_guard lock(mutex_);
    const auto found = objects_.find(handle);
    if (found == objects_.end()) {
        return std::nullopt;
    }
    return found->second;
}

bool HandleTable::Remove(Handle handle) {
    std::lock_guard lock(mutex_);
    return objects_.erase(handle) != 0;
}

Handle HandleTable::FindIf(const std::function<bool(const KernelObject&)>& predicate) const {
    std::lock_guard lock(mutex_);
    for (const auto& [handle, object] : objects_) {
        if (predicate(object)) {
            return handle;
        }
    }
    return kBadHandle;
}

void HandleTable::RemoveIf(const std::function<bool(const KernelObject&)>& predicate) {
    std::lock_guard lock(mutex_);
    std::erase_if(objects_, [&](const auto& entry) { return predicate(entry.second); });
}

std::size_t HandleTable::Size() const {
    std::lock_guard lock(mutex_);
    return objects_.size();
}

}  // namespace hosted
