// The change lock, on the root directory itself.
#include "rtkernel/hosted/root/locks.h"

#include <sys/file.h>
#include <time.h>

#include <algorithm>
#include <cerrno>

#include "rtkernel/hosted/notification_signals.h"

namespace hosted {
namespace {

// A held lock is normally let go within microseconds: the first retries come
// quickly, later ones at a pace that costs nothing while a stopped holder
// keeps it, and that notices a termination well within a second.
constexpr auto kFirstRetry = std::chrono::microseconds(200);
constexpr auto kLongestRetry = std::chrono::milliseconds(10);

void Pause(std::chrono::microseconds pause) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(pause);
    const timespec interval = {static_cast<time_t>(seconds.count()),
                               static_cast<long>((pause - seconds).count() * 1000)};
    (void)clock_nanosleep(CLOCK_MONOTONIC, 0, &interval, nullptr);  // woken early: the next try comes sooner
}

}  // namespace

int TakeChangeLock(int directory, ChangeLock& lock) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + kChangeLockPatience;
    std::chrono::microseconds retry = kFirstRetry;
    for (;;) {
        if (flock(directory, LOCK_EX | LOCK_NB) == 0) {
            lock.directory_ = directory;
            return 0;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return errno;
        }
        if (TerminationPending()) {
            return EINTR;
        }
        if (Clock::now() >= deadline) {
            return ETIMEDOUT;
        }
        Pause(retry);
        retry = std::min<std::chrono::microseconds>(retry * 2, kLongestRetry);
    }
}

ChangeLock::~ChangeLock() {
    if (directory_ >= 0) {
        (void)flock(directory_, LOCK_UN);  // closing the directory would drop it too
    }
}

}  // namespace hosted
