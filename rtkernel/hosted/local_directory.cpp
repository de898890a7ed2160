// The calling process's own object directory, in memory.
#include "rtkernel/hosted/local_directory.h"

#include <chrono>

#include "rtkernel/hosted/names.h"

namespace hosted {

ErrorCode LocalDirectory::Catalog(const char* name, Handle object) {
    if (!ValidName(name)) {
        return ErrorCode::BadName;
    }
    {
        std::lock_guard lock(mutex_);
        if (!entries_.emplace(name, object).second) {
            return ErrorCode::NameTaken;
        }
    }
    catalogued_.notify_all();
    return ErrorCode::None;
}

ErrorCode LocalDirectory::Lookup(const char* name, std::uint32_t waitMs, Handle& found) {
    if (!ValidName(name)) {
        return ErrorCode::BadName;
    }
    std::unique_lock lock(mutex_);
    auto present = [&] { return entries_.find(name) != entries_.end(); };
    if (!present() && waitMs != 0) {
        if (waitMs == kWaitForever) {
            catalogued_.wait(lock, present);
        } else {
            catalogued_.wait_for(lock, std::chrono::milliseconds(waitMs), present);
        }
    }
    const auto entry = entries_.find(name);
    if (entry == entries_.end()) {
        return ErrorCode::NameNotFound;
    }
    found = entry->second;
    return ErrorCode::None;
}

ErrorCode LocalDirectory::Uncatalog(const char* name) {
    if (!ValidName(name)) {
        return ErrorCode::BadName;
    }
    std::lock_guard lock(mutex_);
    const auto entry = entries_.find(name);
    if (entry == entries_.end()) {
        return ErrorCode::NameNotFound;
    }
    entries_.erase(entry);
    return ErrorCode::None;
}

}  // namespace hosted
