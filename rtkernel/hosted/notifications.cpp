#include "rtkernel/hosted/notifications.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "rtkernel/kernel.h"

namespace hosted {
namespace {

// Runs when the program is loaded, before main and before any thread exists,
// so every thread inherits the mask and no signal can slip in unblocked. A
// closed console pipe must not kill the process either: that would skip the
// orderly shutdown and leave its name behind.
__attribute__((constructor)) void BlockNotificationSignalsAtLoad() {
    const sigset_t signals = NotificationSignals();
    if (const int error = pthread_sigmask(SIG_BLOCK, &signals, nullptr); error != 0) {
        errno = error;
        (void)std::fprintf(stderr, "rtkernel: cannot block termination signals: %m\n");
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    if (sigaction(SIGPIPE, &ignore, nullptr) != 0) {
        (void)std::fprintf(stderr, "rtkernel: cannot ignore SIGPIPE: %m\n");
    }
}

sigset_t SelectedSignals(std::uint32_t mask) {
    sigset_t signals;
    sigemptyset(&signals);
    if ((mask & kSelectTermination) != 0) {
        sigaddset(&signals, SIGTERM);
        sigaddset(&signals, SIGINT);
    }
    if ((mask & kSelectHostSignals) != 0) {
        sigaddset(&signals, SIGHUP);
        sigaddset(&signals, SIGUSR1);
        sigaddset(&signals, SIGUSR2);
    }
    return signals;
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
            return kNotifyTerminate;  // SIGTERM, SIGINT
    }
}

bool ReadSignal(int fd, std::uint32_t& type) {
    signalfd_siginfo info{};
    if (read(fd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) {
        return false;
    }
    type = TypeOfSignal(info.ssi_signo);
    return true;
}

}  // namespace

sigset_t NotificationSignals() {
    return SelectedSignals(kSelectHostSignals | kSelectTermination);
}

ErrorCode Notifications::OpenTerminationEvent() {
    std::call_once(opened_, [this] {
        termination_.Reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
        openResult_ = termination_.Valid() ? ErrorCode::None : ErrorCode::HostFailure;
    });
    return openResult_;
}

bool Notifications::TakePostedTermination() {
    std::uint64_t count = 0;
    return read(termination_.Get(), &count, sizeof count) == static_cast<ssize_t>(sizeof count) && count > 0;
}

ErrorCode Notifications::PostTermination() {
    if (const ErrorCode opened = OpenTerminationEvent(); opened != ErrorCode::None) {
        return opened;
    }
    const std::uint64_t one = 1;
    return write(termination_.Get(), &one, sizeof one) == static_cast<ssize_t>(sizeof one)
               ? ErrorCode::None
               : ErrorCode::HostFailure;
}

ErrorCode Notifications::Wait(std::uint32_t mask, std::uint32_t waitMs, std::uint32_t& type) {
    if ((mask & (kSelectHostSignals | kSelectTermination)) == 0) {
        return ErrorCode::BadParameter;
    }
    if (const ErrorCode opened = OpenTerminationEvent(); opened != ErrorCode::None) {
        return opened;
    }
    const sigset_t selected = SelectedSignals(mask);
    UniqueFd signals(signalfd(-1, &selected, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!signals.Valid()) {
        return ErrorCode::HostFailure;
    }
    const bool takesTermination = (mask & kSelectTermination) != 0;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        if (takesTermination && TakePostedTermination()) {
            type = kNotifyTerminate;
            return ErrorCode::None;
        }
        if (ReadSignal(signals.Get(), type)) {
            return ErrorCode::None;
        }
        timespec left{};
        timespec* timeout = nullptr;
        if (waitMs != kWaitForever) {
            const auto remaining =
                std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
            if (remaining.count() <= 0) {
                return ErrorCode::TimedOut;
            }
            left.tv_sec = static_cast<time_t>(remaining.count() / 1'000'000'000);
            left.tv_nsec = static_cast<long>(remaining.count() % 1'000'000'000);
            timeout = &left;
        }
        pollfd ready[2] = {{signals.Get(), POLLIN, 0}, {termination_.Get(), POLLIN, 0}};
        if (ppoll(ready, takesTermination ? 2 : 1, timeout, nullptr) < 0 && errno != EINTR) {
            return ErrorCode::HostFailure;
        }
    }
}

}  // namespace hosted
