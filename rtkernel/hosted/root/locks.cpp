// The change lock and the claims, on the root directory itself.
#include "rtkernel/hosted/root/locks.h"

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

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

struct flock ClaimByte(std::string_view name, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = ClaimOffset(name);
    lock.l_len = 1;
    return lock;
}

}  // namespace

// FNV-1a: cheap, and spreads short names well.
off_t ClaimOffset(std::string_view name) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (const char byte : name) {
        hash = (hash ^ static_cast<unsigned char>(byte)) * 1099511628211ULL;
    }
    return static_cast<off_t>(hash & 0x3FFFFFFFU);
}

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

int StakeClaim(int directory, std::string_view name) {
    struct flock lock = ClaimByte(name, F_RDLCK);
    return fcntl(directory, F_OFD_SETLK, &lock) == 0 ? 0 : errno;
}

void DropClaim(int directory, std::string_view name) {
    struct flock lock = ClaimByte(name, F_UNLCK);
    (void)fcntl(directory, F_OFD_SETLK, &lock);  // nothing held: nothing to drop
}

bool ClaimedByAnother(int directory, std::string_view name) {
    struct flock lock = ClaimByte(name, F_WRLCK);
    // A claim that cannot be asked about is taken to be there: the name is left alone.
    return fcntl(directory, F_OFD_GETLK, &lock) != 0 || lock.l_type != F_UNLCK;
}

}  // namespace hosted
