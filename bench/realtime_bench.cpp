// Real-time latency of the service on a loaded host (bench/run starts the
// load). "console": SIGTERM to "Zorvandelith started cleaning up" read by a
// reader at SCHED_FIFO 90, for the service refused real time (as any program
// runs) and granted it (as the units grant it), and what locking does to the
// memory. "wake-ups", to set beside cyclictest running at the same time, with
// nothing else of this program's at a real-time priority: the lateness of a
// periodic worker's RtSleep(1) at the service's limit, and SIGTERM from an
// ordinary sender, as a service manager or a shell sends it, to RtNotifyEvent
// returning there, each read from the clock by the woken thread itself, and
// the same signal to a bare sigwaitinfo at that priority: the host's floor.
//
//   realtime_bench console SERVICE RUNS
//   realtime_bench wake-ups RUNS SECONDS
//
// Prints one line per figure: "<what> <p50> <p99> <p99.9> <max>" in
// microseconds, or "memory <how> <VmRSS KiB> <VmLck KiB>".
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "rtkernel/hosted/realtime.h"
#include "rtkernel/kernel.h"
#include "tests/e2e/service_process.h"
#include "tests/support/console_lines.h"
#include "tests/support/process_stats.h"
#include "tests/support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kReaderPriority = 90;
constexpr std::uint8_t kServiceLimit = 150;

double Us(Clock::duration elapsed) {
    return std::chrono::duration<double, std::micro>(elapsed).count();
}

void Print(const char* what, std::vector<double> us) {
    if (us.empty()) {
        std::printf("%s - - - -\n", what);
        return;
    }
    std::sort(us.begin(), us.end());
    // The nearest rank: of 100 samples, the 99th percentile is the 99th, not the largest.
    const auto at = [&](double fraction) {
        const auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(us.size())));
        return us[std::clamp<std::size_t>(rank, 1, us.size()) - 1];
    };
    std::printf("%s %.0f %.0f %.0f %.0f\n", what, at(0.5), at(0.99), at(0.999), us.back());
}

e2e::ServiceProcess::Options Launch(const char* service, const std::string& runtime, bool granted) {
    auto options = e2e::InRuntimeDirectory(runtime);
    options.program = service;
    // Granted as the units grant it: root keeps CAP_SYS_NICE, anyone else
    // has RLIMIT_RTPRIO 42; RLIMIT_MEMLOCK is 8 MiB for both.
    options.keepsNiceCapability = granted && geteuid() == 0;
    options.realTimeLimit = granted && geteuid() != 0 ? 42 : 0;
    return options;
}

std::vector<double> Terminations(const char* service, int runs, bool granted, long& rss, long& locked) {
    std::vector<double> us;
    testsupport::TempDir runtime;
    for (int run = 0; run < runs; ++run) {
        e2e::ServiceProcess process(Launch(service, runtime.Path(), granted));
        if (!process.WaitForLine(console::kInitialized)) {
            std::fprintf(stderr, "%s did not become ready\n", service);
            std::exit(2);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        rss = testsupport::StatusKiB(process.Pid(), "VmRSS:");
        locked = testsupport::StatusKiB(process.Pid(), "VmLck:");
        const auto sent = Clock::now();
        process.Signal(SIGTERM);
        if (!process.WaitForLine(console::kCleaningUp)) {
            std::fprintf(stderr, "%s did not begin its shutdown\n", service);
            std::exit(2);
        }
        us.push_back(Us(Clock::now() - sent));
        process.WaitForExit();
    }
    return us;
}

// A child process at the service's limit that runs the body, which writes
// what it measures to the descriptor given; the end it is read from, or -1.
// Bare, the child is put at the same host priority, memory locked, by the
// system calls themselves, without the hosted kernel.
template <typename Body>
int StartAtServiceLimit(pid_t& child, bool bare, Body body) {
    int ends[2];
    if (pipe(ends) != 0) {
        return -1;
    }
    child = fork();
    if (child == 0) {
        close(ends[0]);
        if (bare) {
            const sched_param fifo{.sched_priority = hosted::HostPriorityFor(kServiceLimit)};
            if (sched_setscheduler(0, SCHED_FIFO, &fifo) != 0 || mlockall(MCL_CURRENT) != 0) {
                _exit(1);
            }
        } else {
            SetRtProcessMaxPriority(kNoHandle, kServiceLimit);
        }
        body(ends[1]);
        _exit(0);
    }
    close(ends[1]);
    return ends[0];
}

// A worker at the service's limit pausing 1 ms at a time: how late each pause ends.
std::vector<double> PeriodicLateness(int seconds) {
    pid_t child = 0;
    const int results = StartAtServiceLimit(child, false, [seconds](int out) {
        std::thread([&] {
            (void)GetRtThreadHandles(0);  // as a worker's first step
            const auto end = Clock::now() + std::chrono::seconds(seconds);
            while (Clock::now() < end) {
                const auto began = Clock::now();
                RtSleep(1);
                const double late = Us(Clock::now() - began) - 1000;
                (void)!write(out, &late, sizeof late);
            }
        }).join();
    });
    if (results < 0) {
        return {};
    }
    std::vector<double> us;
    for (double late = 0; read(results, &late, sizeof late) == sizeof late;) {
        us.push_back(late);
    }
    close(results);
    waitpid(child, nullptr, 0);
    return us;
}

// SIGTERM sent by this process, under the ordinary policy, to RtNotifyEvent
// returning in a process at the service's limit; bare, to sigwaitinfo
// returning, the host's own floor for the same path.
std::vector<double> NotificationWakeUps(int runs, bool bare) {
    pid_t child = 0;
    const int results = StartAtServiceLimit(child, bare, [runs, bare](int out) {
        sigset_t termination;
        sigemptyset(&termination);
        sigaddset(&termination, SIGTERM);
        for (int run = 0; run < runs; ++run) {
            std::uint8_t notification[kNotificationSize] = {};
            if (bare ? sigwaitinfo(&termination, nullptr) != SIGTERM
                     : !RtNotifyEvent(kNotifyTermination, kWaitForever, notification)) {
                _exit(1);
            }
            const auto woken = Clock::now().time_since_epoch().count();
            (void)!write(out, &woken, sizeof woken);
        }
    });
    if (results < 0) {
        return {};
    }
    std::vector<double> us;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (int run = 0; run < runs; ++run) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const auto sent = Clock::now();
        kill(child, SIGTERM);
        Clock::rep woken = 0;
        if (read(results, &woken, sizeof woken) != sizeof woken) {
            break;
        }
        us.push_back(Us(Clock::duration(woken) - sent.time_since_epoch()));
    }
    close(results);
    waitpid(child, nullptr, 0);
    return us;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "wake-ups" && argc == 4) {
        Print("periodic-realtime", PeriodicLateness(std::atoi(argv[3])));
        Print("notification-realtime", NotificationWakeUps(std::atoi(argv[2]), false));
        Print("notification-bare", NotificationWakeUps(std::atoi(argv[2]), true));
        return 0;
    }
    if (mode != "console" || argc != 4) {
        std::fprintf(stderr, "usage: %s console SERVICE RUNS | wake-ups RUNS SECONDS\n", argv[0]);
        return 64;
    }
    const char* service = argv[2];
    const int runs = std::atoi(argv[3]);
    // The reader above everything measured; what it starts begins under the
    // ordinary policy, as from any shell.
    const sched_param reader{.sched_priority = kReaderPriority};
    if (sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &reader) != 0) {
        std::perror("realtime_bench: the reader at SCHED_FIFO 90");
        return 69;
    }
    long rss[2] = {0, 0};
    long locked[2] = {0, 0};
    std::vector<double> refused;
    std::vector<double> granted;
    for (int run = 0; run < runs; ++run) {  // interleaved, so both see the same load
        const auto one = Terminations(service, 1, false, rss[0], locked[0]);
        const auto other = Terminations(service, 1, true, rss[1], locked[1]);
        refused.insert(refused.end(), one.begin(), one.end());
        granted.insert(granted.end(), other.begin(), other.end());
    }
    Print("termination-ordinary", refused);
    Print("termination-realtime", granted);
    std::printf("memory ordinary %ld %ld\n", rss[0], locked[0]);
    std::printf("memory realtime %ld %ld\n", rss[1], locked[1]);
    return 0;
}
