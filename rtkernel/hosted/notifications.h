// Kernel notifications on a Linux host: SIGTERM and SIGINT are the termination
// notification, SIGHUP, SIGUSR1 and SIGUSR2 arrive as notifications of their
// own, and the exit mailbox can post a termination too.
//
// The signals are blocked from the moment the program is loaded and read
// through a descriptor, so one that arrives before the first wait stays pending
// until that wait, and none of them can end the process behind its back.
#pragma once

#include <csignal>
#include <cstdint>
#include <mutex>

#include "rtkernel/hosted/errors.h"
#include "rtkernel/hosted/unique_fd.h"

namespace hosted {

// Mask bits of a notification wait.
inline constexpr std::uint32_t kSelectHostSignals = 0x4;  // SIGHUP, SIGUSR1, SIGUSR2
inline constexpr std::uint32_t kSelectTermination = 0x8;  // SIGTERM, SIGINT, the exit mailbox

// Notification types, the first 32-bit word of a notification.
inline constexpr std::uint32_t kNotifyHangup = 1;
inline constexpr std::uint32_t kNotifyUser1 = 2;
inline constexpr std::uint32_t kNotifyUser2 = 3;
inline constexpr std::uint32_t kNotifyTerminate = 255;

// The signals that become notifications; blocked in every thread.
sigset_t NotificationSignals();

class Notifications {
  public:
    // Blocks without using the processor until a selected notification arrives
    // or waitMs (kWaitForever: no limit) runs out.
    ErrorCode Wait(std::uint32_t mask, std::uint32_t waitMs, std::uint32_t& type);
    ErrorCode PostTermination();

  private:
    ErrorCode OpenTerminationEvent();
    bool TakePostedTermination();

    std::once_flag opened_;
    UniqueFd termination_;  // an event counter the exit mailbox raises
    ErrorCode openResult_ = ErrorCode::None;
};

}  // namespace hosted
