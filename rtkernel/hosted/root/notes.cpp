// What a process remembers of the names it dealt with.
#include "rtkernel/hosted/root/notes.h"

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

void NameNotes::Claim(const char* name) {
    std::lock_guard lock(mutex_);
    claimed_.insert(name);
}

bool NameNotes::HoldsClaim(const char* name) const {
    std::lock_guard lock(mutex_);
    return claimed_.contains(name);
}

void NameNotes::ForgetClaim(const char* name) {
    std::lock_guard lock(mutex_);
    claimed_.erase(name);
}

}  // namespace hosted
