// Which host signals stand for which notifications. Kept apart from the wait
// and from the load-time blocking, so that code which only needs to know
// whether a termination is pending (a bounded wait in the root directory)
// does not link the blocking into programs, such as rtroot, that must stay
// interruptible.
#pragma once

#include <csignal>
#include <cstdint>

namespace hosted {

// The signal by which the operating system tells a holder that something was
// removed from its root directory: blocked with the notification signals and
// taken by the notification wait, which then has the holder look at its names.
inline constexpr int kRemovalSignal = SIGIO;

// The signals the mask bits of a notification wait select: kNotifyTermination
// selects SIGTERM and SIGINT, kNotifyOtherEvents SIGHUP, SIGUSR1 and SIGUSR2.
sigset_t SelectedSignals(std::uint32_t mask);

// True while a termination signal waits, blocked, for the notification wait:
// any other wait of start-up or shutdown gives up when it sees one, so the
// process reaches its orderly shutdown promptly.
bool TerminationPending();

}  // namespace hosted
