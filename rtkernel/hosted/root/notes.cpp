// What a process remembers of the names it dealt with: those it found with no
// live owner, and those it claimed.
#include <algorithm>

#include "rtkernel/hosted/root/directory.h"
#include "rtkernel/hosted/root/locks.h"

namespace hosted {

void RootDirectory::RememberOwnerless(const char* name) const {
    std::lock_guard lock(notesMutex_);
    foundOwnerless_.insert(name);
}

bool RootDirectory::SawOwnerless(const char* name) const {
    std::lock_guard lock(notesMutex_);
    return foundOwnerless_.contains(name);
}

void RootDirectory::ForgetOwnerless(const char* name) const {
    std::lock_guard lock(notesMutex_);
    foundOwnerless_.erase(name);
}

void RootDirectory::RememberClaim(const char* name) {
    std::lock_guard lock(notesMutex_);
    claimed_.insert(name);
}

bool RootDirectory::HoldsClaim(const char* name) const {
    std::lock_guard lock(notesMutex_);
    return claimed_.contains(name);
}

// Two names may share a claim's byte, and a byte's lock is one: it is let go
// only when no other name of this process's claims still needs it.
void RootDirectory::ForgetClaim(const char* name) const {
    std::lock_guard lock(notesMutex_);
    if (claimed_.erase(name) == 0) {
        return;
    }
    const off_t offset = ClaimOffset(name);
    if (std::none_of(claimed_.begin(), claimed_.end(),
                     [offset](const std::string& other) { return ClaimOffset(other) == offset; })) {
        DropClaim(Fd(), name);
    }
}

}  // namespace hosted
