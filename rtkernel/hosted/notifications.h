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
#include "rtkernel/kernel.h"

namespace hosted {

// Of the mask bits, kNotifyOtherEvents selects SIGHUP, SIGUSR1 and SIGUSR2, and
// kNotifyTermination SIGTERM, SIGINT and the exit mailbox's termination code.
// The types of the other notifications, first 32-bit word of a notification;
// termination arrives as kTerminationCode.
inline constexpr std::uint32_t kNotifyHangup = 1;
inline constexpr std::uint32_t kNotifyUser1 = 2;
inline constexpr std::uint32_t kNotifyUser2 = 3;

// Not a notification: the operating system's word that something was removed
// from the root directory, on which the kernel has the holder look at its
// names before it waits on. Never handed to a caller.
inline constexpr std::uint32_t kRemovalNoticed = 0xFFFF'0000;

// Blocks without using the processor until a selected notification arrives,
// a removal is noticed, or waitMs (kWaitForever: no limit) runs out.
ErrorCode WaitForNotification(std::uint32_t mask, std::uint32_t waitMs, std::uint32_t& type);
// What the exit mailbox does with the termination code.
ErrorCode PostTermination();

}  // namespace hosted
