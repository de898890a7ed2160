// What the service says about real-time scheduling, and the rights that
// decide it, as the units grant them.
#pragma once

#include <sys/resource.h>

#include <string>

namespace testsupport {

// The service's priority limit, 150, on the host: SCHED_FIFO 42.
inline constexpr int kServiceHostPriority = 42;
// What the units grant: LimitRTPRIO= and LimitMEMLOCK=.
inline constexpr rlim_t kUnitRealTimeLimit = kServiceHostPriority;
inline constexpr rlim_t kUnitLockedMemory = 8 * 1024 * 1024;

// The one line of a start that the host refuses real-time scheduling.
inline std::string RealTimeRefused(const std::string& program = "zorvandelith") {
    return program +
           ": real-time scheduling: SCHED_FIFO 42 for the priority limit 150 refused, so the process runs "
           "under "
           "the ordinary policy (LimitRTPRIO=42 in its unit, an 'rtprio 42' line in limits.conf, or "
           "RealtimeKit "
           "grants it): Operation not permitted (EPERM)\n";
}

}  // namespace testsupport
