// Kernel notifications on a Linux host: SIGTERM and SIGINT are the termination
// notification, SIGHUP, SIGUSR1 and SIGUSR2 arrive as notifications of their
// own, and the exit mailbox can post a termination too.
//
// The signals are blocked from the moment the program is loaded and taken by
// the wait itself, so one that arrives before the first wait stays pending
// until that wait, and none of them can end the process behind its back.
#pragma once

#include <csignal>
#include <cstdint>

#include "rtkernel/hosted/errors.h"

namespace hosted {

// Mask bits of a notification wait.
inline constexpr std::uint32_t kSelectHostSignals = 0x4;  // SIGHUP, SIGUSR1, SIGUSR2
inline constexpr std::uint32_t kSelectTermination = 0x8;  // SIGTERM, SIGINT, the exit mailbox

// Notification types, the first 32-bit word of a notification.
inline constexpr std::uint32_t kNotifyHangup = 1;
inline constexpr std::uint32_t kNotifyUser1 = 2;
inline constexpr std::uint32_t kNotifyUser2 = 3;
inline constexpr std::uint32_t kNotifyTerminate = 255;

// Blocks without using the processor until a selected notification arrives or
// waitMs (kWaitForever: no limit) runs out.
ErrorCode WaitForNotification(std::uint32_t mask, std::uint32_t waitMs, std::uint32_t& type);
// What the exit mailbox does with the termination code.
ErrorCode PostTermination();

}  // namespace hosted
