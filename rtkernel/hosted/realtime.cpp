// The process's priority limit as the host's real-time scheduling, and what a
// real-time thread needs besides: memory that does not fault, timers without
// slack, a stack touched before it is needed.
#include "rtkernel/hosted/realtime.h"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <mutex>
#include <string>

#include "rtkernel/hosted/host_output.h"
#include "rtkernel/hosted/thread_priority.h"

namespace hosted {
namespace {

constexpr const char* kScheduling = "real-time scheduling";

// What a thread's first steps may use of its stack, touched and locked in advance.
constexpr std::size_t kPrefaultedStack = std::size_t{64} * 1024;
constexpr const char* kLocking = "memory locking";
constexpr const char* kLockingGrant =
    "(LimitMEMLOCK= in its unit, or a 'memlock' line in limits.conf, grants it)";

constinit std::atomic<int> processLimit{-1};        // -1 until the limit is set
constinit std::atomic<int> processHostPriority{0};  // 0 while the process is not real time
constinit std::atomic<bool> memoryLocked{false};
constinit std::atomic<bool> stackRefusalSaid{false};
// Memory is locked, or its refusal said, once however often the limit is set.
constinit std::once_flag memoryLocking;

// 0, or the error pthread_setschedparam gave.
int ScheduleCallingThread(int hostPriority) {
    const sched_param parameter{.sched_priority = hostPriority};
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameter);
}

std::string Fifo(int hostPriority) {
    return "SCHED_FIFO " + std::to_string(hostPriority);
}

// The limit's host priority, or the highest RLIMIT_RTPRIO allows below it;
// 0 where the host grants none, said once either way.
int GrantedHostPriority(std::uint8_t limit) {
    const int wanted = HostPriorityFor(limit);
    const std::string asked = Fifo(wanted) + " for the priority limit " + std::to_string(limit);
    int error = ScheduleCallingThread(wanted);
    if (error == 0) {
        return wanted;
    }
    rlimit allowed{};
    if (error == EPERM && getrlimit(RLIMIT_RTPRIO, &allowed) == 0 && allowed.rlim_cur > 0 &&
        allowed.rlim_cur < static_cast<rlim_t>(wanted)) {
        const int clamped = static_cast<int>(allowed.rlim_cur);
        error = ScheduleCallingThread(clamped);
        if (error == 0) {
            Say(kScheduling, (asked + " is above RLIMIT_RTPRIO " + std::to_string(clamped) + ": clamped to " +
                              Fifo(clamped))
                                 .c_str());
            return clamped;
        }
    }
    DiagnoseHostFailure(kScheduling,
                        (asked + " refused, so the process runs under the ordinary policy (LimitRTPRIO=" +
                         std::to_string(wanted) + " in its unit, an 'rtprio " + std::to_string(wanted) +
                         "' line in limits.conf, or RealtimeKit grants it)")
                            .c_str(),
                        error);
    return 0;
}

// A sanitizer reserves terabytes of shadow memory, which locking what is
// mapped would make resident: its builds schedule in real time but lock nothing.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kShadowMemory = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kShadowMemory = true;
#else
constexpr bool kShadowMemory = false;
#endif
#else
constexpr bool kShadowMemory = false;
#endif

// Locks what is mapped now, resident at once. Mappings to come are not
// locked as a whole (MCL_FUTURE): each would then count against
// RLIMIT_MEMLOCK when made, and a thread's start could fail for want of room;
// each real-time thread locks the part of its stack it will use instead.
void LockMemory() {
    if (kShadowMemory) {
        return;
    }
    if (mlockall(MCL_CURRENT) != 0) {
        DiagnoseHostFailure(
            kLocking,
            ("mlockall refused, so the real-time path may take page faults " + std::string(kLockingGrant))
                .c_str(),
            errno);
        (void)munlockall();
        return;
    }
    memoryLocked.store(true);
}

// The stack below the caller's frame, made resident and locked; a refusal
// (RLIMIT_MEMLOCK used up by threads before) is said once, and the thread runs on.
[[gnu::noinline]] void TouchAndLockStack() {
    volatile unsigned char stack[kPrefaultedStack];
    for (std::size_t at = 0; at < sizeof stack; at += 4096) {
        stack[at] = 0;
    }
    if (mlock(const_cast<unsigned char*>(stack), sizeof stack) != 0 && !stackRefusalSaid.exchange(true)) {
        DiagnoseHostFailure(kLocking,
                            ("mlock of a thread's stack refused, so that thread may take page faults " +
                             std::string(kLockingGrant))
                                .c_str(),
                            errno);
    }
}

}  // namespace

void ScheduleProcessAt(std::uint8_t limit) {
    processLimit.store(limit);
    const int granted = GrantedHostPriority(limit);
    if (granted == 0) {
        return;
    }
    processHostPriority.store(granted);
    // A real-time thread's timers already expire without slack; a thread that
    // lowers itself out of real time keeps this, inherited by what it starts.
    if (prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) != 0) {
        DiagnoseHostFailure(kScheduling, "prctl(PR_SET_TIMERSLACK, 1)", errno);
    }
    std::call_once(memoryLocking, LockMemory);
    PrepareRealTimeThread();
}

void PrepareRealTimeThread() {
    if (memoryLocked.load()) {
        TouchAndLockStack();
    }
}

std::uint8_t SetCallingThreadPriority(std::uint8_t priority) {
    const int limit = processLimit.load();
    const auto given = static_cast<std::uint8_t>(std::max<int>(priority, limit));
    const int process = processHostPriority.load();
    if (process == 0) {
        return given;
    }
    const int host = std::min(HostPriorityFor(given), process);
    if (const int error = ScheduleCallingThread(host); error != 0) {
        DiagnoseHostFailure(
            kScheduling, (Fifo(host) + " for a thread's priority " + std::to_string(given)).c_str(), error);
    }
    return given;
}

}  // namespace hosted
