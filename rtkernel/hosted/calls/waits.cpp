// The kernel calls that wait: for a notification, and for time to pass.
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "rtkernel/hosted/calls/support.h"
#include "rtkernel/hosted/notifications.h"
#include "rtkernel/hosted/service_manager.h"
#include "rtkernel/kernel.h"

namespace hosted {
namespace {

int PauseUntil(const timespec& deadline) {
    int result = 0;
    while ((result = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr)) == EINTR) {
    }
    return result;
}

}  // namespace
}  // namespace hosted

using namespace hosted;

extern "C" {

bool RtNotifyEvent(std::uint32_t mask, std::uint32_t waitMs, std::uint8_t* notification) {
    if (notification == nullptr) {
        return Fail(ErrorCode::BadParameter, false);
    }
    if (Kernel().FirstWait()) {
        NotifyServiceManager("READY=1");
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    std::uint32_t type = 0;
    for (std::uint32_t left = waitMs;;) {
        if (!Succeeds(WaitForNotification(mask, left, type))) {
            return false;
        }
        if (type != kRemovalNoticed) {
            break;
        }
        // A holder whose name another process took meanwhile is told to end.
        if (Kernel().KeepRootNames() == RootDirectory::Keeping::Lost) {
            (void)PostTermination();
        }
        if (waitMs != kWaitForever) {
            const auto remaining =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            left = static_cast<std::uint32_t>(std::max<std::chrono::milliseconds::rep>(0, remaining.count()));
        }
    }
    if (type == kTerminationCode) {
        NotifyServiceManager("STOPPING=1");
    }
    std::memset(notification, 0, kNotificationSize);
    std::memcpy(notification, &type, sizeof type);
    return true;
}

// Sleeps the full time: an interruption resumes towards the same deadline.
bool RtSleep(std::uint32_t milliseconds) {
    timespec deadline{};
    if (clock_gettime(CLOCK_MONOTONIC, &deadline) != 0) {
        return Fail(ErrorCode::HostFailure, false);
    }
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1'000'000;
    if (deadline.tv_nsec >= 1'000'000'000) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1'000'000'000;
    }
    return PauseUntil(deadline) == 0 || Fail(ErrorCode::HostFailure, false);
}

}  // extern "C"
