#include "app/notification_loop.h"

#include <cstdint>
#include <cstring>

#include "app/app_state.h"
#include "app/lifecycle.h"
#include "rtkernel/kernel.h"

namespace {

// Termination and every other notification wake the wait; only termination
// ends it.
constexpr std::uint32_t kNotificationMask = kNotifyOtherEvents | kNotifyTermination;
static_assert(kNotificationMask == 12);

std::uint32_t NotificationType(const std::uint8_t* notification) {
    std::uint32_t type = 0;
    std::memcpy(&type, notification, sizeof type);
    return type;
}

}  // namespace

void WaitForTermination() {
    std::uint8_t notification[kNotificationSize] = {};
    while (RtNotifyEvent(kNotificationMask, kWaitForever, notification)) {
        if (NotificationType(notification) == kTerminationCode) {
            CleanUpApplication();
        }
    }
    ReportFailure("Notify failed");
}
