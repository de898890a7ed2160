// Signals as kernel notifications, blocked at load and taken by the wait itself.
#include "rtkernel/hosted/notifications.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "rtkernel/hosted/host_output.h"
#include "rtkernel/hosted/notification_signals.h"
#include "rtkernel/kernel.h"

namespace hosted {
namespace {

// Runs when the program is loaded, before main and before any thread exists,
// so every thread inherits the mask and no signal can slip in unblocked. A
// closed console pipe, or a console file at the process's file-size limit,
// must not kill the process either: that would skip the orderly shutdown and
// leave its name behind. Their writes fail instead, and cost only lines.
__attribute__((constructor)) void BlockNotificationSignalsAtLoad() {
    sigset_t signals = SelectedSignals(kNotifyOtherEvents | kNotifyTermination);
    sigaddset(&signals, kRemovalSignal);
    if (const int error = pthread_sigmask(SIG_BLOCK, &signals, nullptr); error != 0) {
        DiagnoseHostFailure("signals", "cannot block the notification signals", error);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    if (sigaction(SIGPIPE, &ignore, nullptr) != 0) {
        DiagnoseHostFailure("signals", "cannot ignore SIGPIPE", errno);
    }
    if (sigaction(SIGXFSZ, &ignore, nullptr) != 0) {
        DiagnoseHostFailure("signals", "cannot ignore SIGXFSZ", errno);
    }
}

std::uint32_t TypeOfSignal(std::uint32_t signal) {
    switch (signal) {
        case SIGHUP:
            return kNotifyHangup;
        case SIGUSR1:
            return kNotifyUser1;
        case SIGUSR2:
            return kNotifyUser2;
        default:
            return kTerminationCode;  // SIGTERM, SIGINT
    }
}

}  // namespace

// The mailbox's termination is the same notification a SIGTERM is, so it is
// sent as one: blocked in every thread, it waits, pending and coalesced with
// any other, for the next wait that selects termination.
ErrorCode PostTermination() {
    return kill(getpid(), SIGTERM) == 0 ? ErrorCode::None : ErrorCode::HostFailure;
}

// Waiting in the kernel for the signals themselves takes one call, no
// descriptor, and consumes the signal as it wakes.
ErrorCode WaitForNotification(std::uint32_t mask, std::uint32_t waitMs, std::uint32_t& type) {
    if ((mask & (kNotifyOtherEvents | kNotifyTermination)) == 0) {
        return ErrorCode::BadParameter;
    }
    sigset_t selected = SelectedSignals(mask);
    sigaddset(&selected, kRemovalSignal);
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        siginfo_t info{};
        int signal = 0;
        if (waitMs == kWaitForever) {
            signal = sigwaitinfo(&selected, &info);
        } else {
            const auto left = std::max(Clock::duration::zero(), deadline - Clock::now());
            const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            const timespec timeout = {static_cast<time_t>(nanoseconds / 1'000'000'000),
                                      static_cast<long>(nanoseconds % 1'000'000'000)};
            signal = sigtimedwait(&selected, &info, &timeout);
        }
        if (signal == kRemovalSignal) {
            type = kRemovalNoticed;
            return ErrorCode::None;
        }
        if (signal > 0) {
            type = TypeOfSignal(static_cast<std::uint32_t>(signal));
            return ErrorCode::None;
        }
        if (errno == EAGAIN) {
            return ErrorCode::TimedOut;
        }
        if (errno != EINTR) {
            return ErrorCode::HostFailure;
        }
    }
}

}  // namespace hosted
