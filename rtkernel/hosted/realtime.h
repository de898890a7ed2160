// How the kernel's priorities are scheduled on a Linux host: the process's
// priority limit becomes a real-time policy (SCHED_FIFO) where the host grants
// one, with memory locked and timers without slack; elsewhere the process runs
// under the ordinary policy, as any program does, and says so once on stderr.
#pragma once

#include <cstdint>

namespace hosted {

// The kernel's priorities run from 0, the most urgent, to 255, the least; the
// host's SCHED_FIFO priorities from 99, the most urgent, to 1. Each host
// priority stands for two or three kernel ones: 99 - priority * 98 / 255.
inline constexpr int kHostPriorityMostUrgent = 99;
inline constexpr int kHostPriorityLeastUrgent = 1;
constexpr int HostPriorityFor(std::uint8_t priority) {
    return kHostPriorityMostUrgent - priority * (kHostPriorityMostUrgent - kHostPriorityLeastUrgent) / 255;
}

// Schedules the calling thread, and with it every thread it starts from then
// on, at the limit's host priority under SCHED_FIFO. Where the host refuses
// (no CAP_SYS_NICE and RLIMIT_RTPRIO 0, a container), nothing changes and one
// line on stderr says what would grant it; where RLIMIT_RTPRIO is below the
// mapped priority, the process runs at RLIMIT_RTPRIO and says so. Only once
// real time is granted is what is mapped locked, and the calling thread's
// stack touched and locked in advance; locking refused is said once too.
void ScheduleProcessAt(std::uint8_t limit);

// Touches and locks the part of the calling thread's stack its first steps
// use, where the process runs in real time with its memory locked, so that
// they take no page fault; nothing otherwise. Done once per thread, when the
// kernel first sees it; a thread starts whatever room RLIMIT_MEMLOCK has left.
void PrepareRealTimeThread();

}  // namespace hosted
