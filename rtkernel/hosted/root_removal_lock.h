// The root directory's lock for removals: the last check that a name still
// stands for the file a remover holds, and the unlink, are made under it, and
// a claimant waits on it for a removal in flight.
#pragma once

#include <sys/file.h>

#include <cerrno>

namespace hosted {

class RemovalLock {
public:
    explicit RemovalLock(int directory) : directory_(directory) {
        do {
            held_ = flock(directory_, LOCK_EX) == 0;
        } while (!held_ && errno == EINTR);
    }
    RemovalLock(const RemovalLock&) = delete;
    RemovalLock& operator=(const RemovalLock&) = delete;
    ~RemovalLock() {
        if (held_) {
            flock(directory_, LOCK_UN);
        }
    }
    bool Held() const { return held_; }

private:
    int directory_;
    bool held_ = false;
};

}  // namespace hosted
