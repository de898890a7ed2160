// Wake-up latency: from a signal sent to the process to RtNotifyEvent
// returning in the waiting thread.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "rtkernel/kernel.h"

namespace {

using Clock = std::chrono::steady_clock;

void SignalToWaitReturn(benchmark::State& state) {
    std::uint8_t notification[kNotificationSize];
    for (auto _ : state) {
        std::atomic<Clock::time_point> sent{};
        // The sender gives the waiter time to block before it signals.
        std::thread sender([&sent] {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
            sent.store(Clock::now());
            kill(getpid(), SIGUSR1);
        });
        const bool woke = RtNotifyEvent(12, 5000, notification);
        const auto returned = Clock::now();
        sender.join();
        if (!woke) {
            state.SkipWithError("the wait timed out");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(returned - sent.load()).count());
    }
}

BENCHMARK(SignalToWaitReturn)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(200)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
