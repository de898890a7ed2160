// What a process remembers of the names it dealt with.
#include "rtkernel/hosted/root/notes.h"

#include <algorithm>

#include "rtkernel/hosted/root/locks.h"

namespace hosted {

void NameNotes::NoteOwnerless(const char* name) {
    std::lock_guard lock(mutex_);
    foundOwnerless_.insert(name);
}

bool NameNotes::SawOwnerless(const char* name) const {
    std::lock_guard lock(mutex_);
    return foundOwnerless_.contains(name);
}

void NameNotes::ForgetOwnerless(const char* name) {
    std::lock_guard lock(mutex_);
    foundOwnerless_.erase(name);
}

int NameNotes::Claim(int directory, const char* name) {
    std::lock_guard lock(mutex_);
    claimed_.insert(name);
    return StakeClaim(directory, name);
}

bool NameNotes::HoldsClaim(const char* name) const {
    std::lock_guard lock(mutex_);
    return claimed_.contains(name);
}

// Two names may share a claim's byte, and a byte's lock is one: it is let go
// only when no other name of this process's claims still needs it.
void NameNotes::ForgetClaim(int directory, const char* name) {
    std::lock_guard lock(mutex_);
    if (claimed_.erase(name) == 0) {
        return;
    }
    const off_t offset = ClaimOffset(name);
    if (std::none_of(claimed_.begin(), claimed_.end(),
                     [offset](const std::string& other) { return ClaimOffset(other) == offset; })) {
        DropClaim(directory, name);
    }
}

}  // namespace hosted
