// The kernel's priorities as the host schedules them: in real time where the
// host grants it, as on the target; under the ordinary policy, said once,
// where it does not. Run alone (ctest RUN_SERIAL): a test here takes a CPU.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "rtkernel/hosted/realtime.h"
#include "rtkernel/hosted/thread_priority.h"
#include "rtkernel/kernel.h"
#include "tests/e2e/service_process.h"
#include "tests/support/console_lines.h"
#include "tests/support/process_stats.h"
#include "tests/support/realtime.h"
#include "tests/support/temp_dir.h"

namespace {

using e2e::OwnLines;
using e2e::ServiceProcess;
using testsupport::kServiceHostPriority;

constexpr std::uint8_t kServiceLimit = 150;

// What a child process returns through a pipe: the text body gives back.
std::string InChild(const std::function<std::string()>& body) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return "pipe failed";
    }
    const pid_t child = fork();
    if (child == 0) {
        const std::string said = body();
        (void)!write(ends[1], said.data(), said.size());
        _exit(0);
    }
    close(ends[1]);
    std::string said;
    char chunk[256];
    for (ssize_t got; (got = read(ends[0], chunk, sizeof chunk)) > 0;) {
        said.append(chunk, static_cast<std::size_t>(got));
    }
    close(ends[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return said;
}

// Why this process cannot show real-time scheduling; empty where it can.
std::string WhyNoRealTime() {
#ifdef ZORVANDELITH_SANITIZED
    return "a sanitizer's build: its run-time's threads and timing are not the program's own";
#endif
#ifdef ZORVANDELITH_EMULATED
    return "a user-mode emulator's run: its translation threads are not the program's own";
#endif
    if (const char* emulator = std::getenv("ZORVANDELITH_EMULATED_RUN"); emulator != nullptr) {
        return std::string("a user-mode emulator's run (") + emulator +
               "): its translation threads and mappings are not the program's own";
    }
    const std::string refused = InChild([] {
        const sched_param parameter{.sched_priority = kServiceHostPriority};
        const int error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameter);
        return error == 0 ? std::string() : std::string(std::strerror(error));
    });
    return refused.empty() ? ""
                           : "needs real-time priority (CAP_SYS_NICE, or RLIMIT_RTPRIO of at least 42 as "
                             "prlimit --rtprio=42 gives it), which the host refuses: " +
                                 refused;
}

#define SKIP_WITHOUT_REAL_TIME()                        \
    if (const auto why = WhyNoRealTime(); !why.empty()) \
    GTEST_SKIP() << why

// Whether a program started with these rights gets SCHED_FIFO at the priority.
bool Grants(rlim_t realTimeLimit, bool keepsNiceCapability, int priority) {
    ServiceProcess::Options options;
    options.program = "/usr/bin/chrt";
    options.arguments = {"-f", std::to_string(priority), "true"};
    options.realTimeLimit = realTimeLimit;
    options.keepsNiceCapability = keepsNiceCapability;
    options.diagnostics = open("/dev/null", O_WRONLY | O_CLOEXEC);
    ServiceProcess chrt(options);
    close(options.diagnostics);
    return chrt.WaitForExit() == 0;
}

std::string Policy(pid_t thread) {
    const int policy = sched_getscheduler(thread);
    sched_param parameter{};
    if (policy < 0 || sched_getparam(thread, &parameter) != 0) {
        return std::string("unreadable: ") + std::strerror(errno);
    }
    switch (policy) {
        case SCHED_FIFO:
            return "SCHED_FIFO " + std::to_string(parameter.sched_priority);
        case SCHED_OTHER:
            return "SCHED_OTHER";
        default:
            return "policy " + std::to_string(policy);
    }
}

// Computes without blocking until the thread has had this much processor time.
void ComputeFor(std::chrono::milliseconds span, std::atomic<long>* progress = nullptr) {
    const auto seconds = [] {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
    };
    const double end = seconds() + static_cast<double>(span.count()) / 1000;
    while (seconds() < end) {
        if (progress != nullptr) {
            progress->fetch_add(1, std::memory_order_relaxed);
        }
    }
}

// Pins the calling thread, and the threads it starts, to the first CPU it may use.
bool OnOneCpu() {
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
        return false;
    }
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpu, &one);
            return sched_setaffinity(0, sizeof one, &one) == 0;
        }
    }
    return false;
}

// As on the target: two workers below the process's limit, released at one
// instant by the main thread above them, each computing without blocking, on
// one CPU. The lower one gets no processor time until the higher one ends.
TEST(RealTime, OnOneCpuALowerWorkerMakesNoProgressUntilAHigherOneEnds) {
    SKIP_WITHOUT_REAL_TIME();
    const std::string seen = InChild([] {
        if (!OnOneCpu()) {
            return std::string("cannot pin to one CPU");
        }
        SetRtProcessMaxPriority(kNoHandle, kServiceLimit);
        std::atomic<int> waiting{0};
        std::atomic<bool> released{false};
        std::atomic<bool> highEnded{false};
        std::atomic<long> lowProgress{0};
        bool highEndedWhenLowBegan = false;
        long lowProgressWhenHighEnded = -1;
        const auto awaitRelease = [&](std::uint8_t priority) {
            (void)hosted::SetCallingThreadPriority(priority);
            waiting.fetch_add(1);
            released.wait(false);
        };
        std::thread high([&] {
            awaitRelease(160);
            ComputeFor(std::chrono::milliseconds(30));
            lowProgressWhenHighEnded = lowProgress.load();
            highEnded.store(true);
        });
        std::thread low([&] {
            awaitRelease(200);
            highEndedWhenLowBegan = highEnded.load();
            ComputeFor(std::chrono::milliseconds(30), &lowProgress);
        });
        while (waiting.load() < 2) {
            RtSleep(1);
        }
        released.store(true);
        released.notify_all();
        high.join();
        low.join();
        return std::string("main ") + Policy(0) +
               "; high ended before low began: " + (highEndedWhenLowBegan ? "yes" : "no") +
               "; low's progress when high ended: " + std::to_string(lowProgressWhenHighEnded);
    });
    EXPECT_EQ(seen,
              "main SCHED_FIFO 42; high ended before low began: yes; low's progress when high ended: 0");
}

// A worker gets the priority it asks for, never above the process's limit.
TEST(RealTime, AWorkerAskingForMoreThanTheLimitGetsTheLimit) {
    SKIP_WITHOUT_REAL_TIME();
    struct Case {
        std::uint8_t asked;
        const char* got;
    };
    const Case cases[] = {
        {0, "priority 150, SCHED_FIFO 42"},   {100, "priority 150, SCHED_FIFO 42"},
        {150, "priority 150, SCHED_FIFO 42"}, {200, "priority 200, SCHED_FIFO 23"},
        {255, "priority 255, SCHED_FIFO 1"},
    };
    for (const Case& c : cases) {
        const std::string seen = InChild([&] {
            SetRtProcessMaxPriority(kNoHandle, kServiceLimit);
            std::string got;
            std::thread([&] {
                const std::uint8_t given = hosted::SetCallingThreadPriority(c.asked);
                got = "priority " + std::to_string(given) + ", " + Policy(0);
            }).join();
            return got;
        });
        EXPECT_EQ(seen, c.got) << "asked for " << int{c.asked};
    }
}

class RealTimeService : public ::testing::Test {
protected:
    testsupport::TempDir runtime_;
};

// Refused by the host, the service runs as it always has, locks nothing, and
// says so once, with what would grant it; its console and exit are as ever.
TEST_F(RealTimeService, RefusedItRunsUnderTheOrdinaryPolicyAndSaysSoOnce) {
    int diagnostics[2] = {-1, -1};
    ASSERT_EQ(pipe2(diagnostics, O_CLOEXEC), 0);
    auto options = e2e::InRuntimeDirectory(runtime_.Path());
    options.diagnostics = diagnostics[1];
    ServiceProcess service(options);  // with RLIMIT_RTPRIO 0, and no capability
    close(diagnostics[1]);
    ASSERT_TRUE(service.WaitForLine(console::kInitialized)) << service.Console();
    EXPECT_EQ(Policy(service.Pid()), "SCHED_OTHER");
    EXPECT_EQ(testsupport::StatusKiB(service.Pid(), "VmLck:"), 0);
    service.Signal(SIGTERM);
    EXPECT_EQ(service.WaitForExit(), 0);
    EXPECT_EQ(service.Console(), console::WholeLife());
    EXPECT_EQ(OwnLines(diagnostics[0]), testsupport::RealTimeRefused() + "zorvandelith: root directory " +
                                            runtime_.Path() + "/rtroot: registered Zorvandelith\n");
    close(diagnostics[0]);
}

// With real-time rights, the service and the worker it starts run in real
// time, memory locked, the worker's stack within RLIMIT_MEMLOCK's 8 MiB; with
// RLIMIT_RTPRIO below the limit's priority, at RLIMIT_RTPRIO, said once. Each
// way of granting it that this host allows is shown: root's CAP_SYS_NICE,
// and RLIMIT_RTPRIO as the units set it (LimitRTPRIO=42) or lower. Root
// with all its powers, given another user's directory, locks as root and then
// acts as that user, whose RLIMIT_MEMLOCK is below what root locked: what root
// locked stays locked, and the worker still starts, its stack unlocked, said once.
TEST_F(RealTimeService, GrantedItAndItsWorkerRunInRealTimeWithMemoryLocked) {
    struct Case {
        const char* rights;
        rlim_t realTimeLimit;
        bool keepsNiceCapability;
        const char* main;
        const char* worker;
        const char* said;
        bool anotherUsersDirectory = false;
        const char* saidOnceTheWorkerStarts = "";
    };
    const Case cases[] = {
        {"CAP_SYS_NICE", 0, true, "SCHED_FIFO 42", "SCHED_FIFO 23", ""},
        {"RLIMIT_RTPRIO 42", 42, false, "SCHED_FIFO 42", "SCHED_FIFO 23", ""},
        {"RLIMIT_RTPRIO 10", 10, false, "SCHED_FIFO 10", "SCHED_FIFO 10",
         "worker_service: real-time scheduling: SCHED_FIFO 42 for the priority limit 150 is above "
         "RLIMIT_RTPRIO "
         "10: clamped to SCHED_FIFO 10\n"},
        {"root's own powers, in another user's directory, RLIMIT_MEMLOCK 1 MiB", 0, true, "SCHED_FIFO 42",
         "SCHED_FIFO 23",
         "worker_service: root directory RUNTIME/rtroot: belongs to user 65534: this process acts as that "
         "user\n",
         true,
         "worker_service: memory locking: mlock of a thread's stack refused, so that thread may take page "
         "faults (LimitMEMLOCK= in its unit, or a 'memlock' line in limits.conf, grants it): Cannot "
         "allocate memory (ENOMEM)\n"},
    };
    if (const auto why = WhyNoRealTime(); !why.empty() && why.starts_with("a ")) {
        GTEST_SKIP() << why;
    }
    std::string shown;
    for (const Case& c : cases) {
        if (c.anotherUsersDirectory && geteuid() != 0) {
            continue;
        }
        if (!Grants(c.realTimeLimit, c.keepsNiceCapability,
                    c.realTimeLimit == 0 ? 42 : int(c.realTimeLimit))) {
            continue;
        }
        shown += std::string(shown.empty() ? "" : ", ") + c.rights;
        testsupport::TempDir runtime;
        int diagnostics[2] = {-1, -1};
        ASSERT_EQ(pipe2(diagnostics, O_CLOEXEC), 0);
        auto options = e2e::InRuntimeDirectory(runtime.Path());
        if (c.anotherUsersDirectory) {
            ASSERT_EQ(chown(runtime.Path().c_str(), 65534, 65534), 0) << std::strerror(errno);
            options.lockedMemoryLimit = rlim_t{1} << 20;
        }
        options.program = WORKER_SERVICE_BINARY;
        options.arguments = {"ends"};
        options.environment["WORKER_NOTE"] = runtime / "worker";
        options.diagnostics = diagnostics[1];
        options.realTimeLimit = c.realTimeLimit;
        options.keepsNiceCapability = c.keepsNiceCapability;
        ServiceProcess service(options);
        close(diagnostics[1]);
        ASSERT_TRUE(service.WaitForLine(console::kInitialized)) << c.rights << ": " << service.Console();
        pid_t worker = 0;
        for (int tries = 0; tries < 500 && worker == 0; ++tries) {
            std::ifstream(runtime / "worker") >> worker;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(Policy(service.Pid()), c.main) << c.rights;
        EXPECT_EQ(Policy(worker), c.worker) << c.rights;
        EXPECT_GT(testsupport::StatusKiB(service.Pid(), "VmLck:"), 0) << c.rights;
        service.Signal(SIGTERM);
        EXPECT_EQ(service.WaitForExit(), 0) << c.rights;
        EXPECT_EQ(service.Console(), console::WholeLife()) << c.rights;
        std::string said = c.said;
        if (const auto at = said.find("RUNTIME"); at != std::string::npos) {
            said.replace(at, 7, runtime.Path());
        }
        EXPECT_EQ(
            OwnLines(diagnostics[0], "worker_service"),
            said +
                ("worker_service: root directory " + runtime.Path() + "/rtroot: registered Zorvandelith\n") +
                c.saidOnceTheWorkerStarts)
            << c.rights;
        close(diagnostics[0]);
    }
    if (shown.empty()) {
        GTEST_SKIP() << "needs real-time priority (root's CAP_SYS_NICE, or RLIMIT_RTPRIO of at least 10 as "
                        "prlimit --rtprio=42 gives it), which the host grants none of";
    }
    std::cout << "shown with " << shown << "\n";
}

}  // namespace
