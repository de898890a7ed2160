// The root directory's change lock, held on the directory itself so that it
// costs no descriptor and vanishes with the process that holds it, however it
// ends.
//
// The change lock (flock on the directory) is held by whoever removes a thing
// that stands at a name, and by a claimant while it examines the thing its link
// found in the way. It is taken with a bounded wait that also gives up at once
// when a termination is pending: a stopped or stuck holder elsewhere costs a
// start or a shutdown its step, never the process its orderly end.
#pragma once

#include <chrono>

#include "rtkernel/hosted/errors.h"

namespace hosted {

// Nobody holds the change lock for longer than a few system calls, so a lock
// still held after this long is held by a process that is stopped or stuck.
inline constexpr std::chrono::milliseconds kChangeLockPatience{2000};

// Holds the change lock from a successful TakeChangeLock until it goes.
class ChangeLock {
public:
    ChangeLock() = default;
    ChangeLock(const ChangeLock&) = delete;
    ChangeLock& operator=(const ChangeLock&) = delete;
    ~ChangeLock();

private:
    friend int TakeChangeLock(int directory, ChangeLock& lock);
    int directory_ = -1;
};
// 0 once `lock` holds the change lock; ETIMEDOUT when the patience ran out,
// EINTR when a termination became pending, or the error flock got.
int TakeChangeLock(int directory, ChangeLock& lock);

}  // namespace hosted
