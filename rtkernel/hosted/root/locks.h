// The root directory's two locks, both held on the directory itself so that
// they cost no descriptor and vanish with the process that holds them, however
// it ends.
//
// The change lock (flock on the directory) is held by whoever removes a thing
// that stands at a name, and by a claimant while it examines the thing its link
// found in the way. It is taken with a bounded wait that also gives up at once
// when a termination is pending: a stopped or stuck holder elsewhere costs a
// start or a shutdown its step, never the process its orderly end.
//
// A claim (a shared lock on one byte of the directory, at an offset drawn from
// the name) says that a process will replace the ownerless thing at the name.
// Any number of processes may claim a name; one that has no claim of its own
// leaves a claimed name alone.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string_view>

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

// Where a name's claim is held. Offsets stay below 2^30, so that they fit any
// off_t; two names that share one only make a cleaner leave both alone while
// either is claimed.
off_t ClaimOffset(std::string_view name);
// 0 once the claim is held, or the error the lock got.
int StakeClaim(int directory, std::string_view name);
void DropClaim(int directory, std::string_view name);
// Also true when the question cannot be asked: a cleaner then leaves the name.
bool ClaimedByAnother(int directory, std::string_view name);

}  // namespace hosted
