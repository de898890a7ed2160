// Host signals as notifications, and whether a termination is pending.
#include "rtkernel/hosted/notification_signals.h"

#include "rtkernel/kernel.h"

namespace hosted {

sigset_t SelectedSignals(std::uint32_t mask) {
    sigset_t signals;
    sigemptyset(&signals);
    if ((mask & kNotifyTermination) != 0) {
        sigaddset(&signals, SIGTERM);
        sigaddset(&signals, SIGINT);
    }
    if ((mask & kNotifyOtherEvents) != 0) {
        sigaddset(&signals, SIGHUP);
        sigaddset(&signals, SIGUSR1);
        sigaddset(&signals, SIGUSR2);
    }
    return signals;
}

// Where the signals are not blocked (rtroot) they end the program instead of
// waiting, so this is only ever true in the service.
bool TerminationPending() {
    sigset_t pending;
    if (sigpending(&pending) != 0) {
        return false;
    }
    return sigismember(&pending, SIGTERM) == 1 || sigismember(&pending, SIGINT) == 1;
}

}  // namespace hosted
