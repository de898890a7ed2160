// For worker code on the hosted kernel: the kernel's interface has no call
// that gives a thread a priority of its own, since on the target the call that
// makes a thread gives it one. A worker that should yield to the process's
// other threads asks for a lower priority here, as its first step, on its own
// thread. Hosted only: worker code meant for the target calls this where
// the target's thread is made instead.
#pragma once

#include <cstdint>

namespace hosted {

// Schedules the calling thread at the kernel priority asked for (0 the most
// urgent, 255 the least), never above the process's limit: a thread that asks
// for more gets the limit. Returns the priority the thread has now. Where the
// process does not run in real time (no limit set, or the host refused it),
// nothing is scheduled and the priority is only kept as the answer.
std::uint8_t SetCallingThreadPriority(std::uint8_t priority);

}  // namespace hosted
