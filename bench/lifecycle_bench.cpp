// Start-up, shutdown, memory and idle wake-ups of the service against two
// references, run interleaved so that all see the same machine: the floor
// program (four lines, nothing else) and the pidfile(3) daemon a user would
// write instead.
//
//   lifecycle_bench SERVICE FLOOR PIDFILE_DAEMON [RUNS] [IDLE_SECONDS]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/service_process.h"
#include "tests/support/console_lines.h"
#include "tests/support/process_stats.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Sample {
    double startMs = 0;  // fork to the ready line read from the pipe
    double stopMs = 0;   // SIGTERM to the process reaped
    long peakRssKiB = 0;
};

// The service or the floor as the tests start it, reading its console from a pipe.
e2e::ServiceProcess::Options Launch(const char* binary, const std::string& runtime) {
    auto options = e2e::InRuntimeDirectory(runtime);
    options.program = binary;
    return options;
}

double Ms(Clock::duration elapsed) {
    return std::chrono::duration<double, std::milli>(elapsed).count();
}

Sample RunOnce(const char* binary, const std::string& runtime) {
    Sample sample;
    const auto started = Clock::now();
    e2e::ServiceProcess process(Launch(binary, runtime));
    if (!process.WaitForLine(console::kInitialized)) {
        std::fprintf(stderr, "%s did not become ready\n", binary);
        std::exit(2);
    }
    sample.startMs = Ms(Clock::now() - started);
    // Read while it waits: its own peak so far, start-up included.
    sample.peakRssKiB = testsupport::PeakResidentKiB(process.Pid());
    const auto stopping = Clock::now();
    process.Signal(SIGTERM);
    process.Reap(nullptr);
    sample.stopMs = Ms(Clock::now() - stopping);
    return sample;
}

long IdleWakeUps(const char* binary, const std::string& runtime, int seconds) {
    e2e::ServiceProcess process(Launch(binary, runtime));
    process.WaitForLine(console::kInitialized);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long before = process.ContextSwitches();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const long wakeUps = process.ContextSwitches() - before;
    process.Signal(SIGTERM);
    process.Reap(nullptr);
    return wakeUps;
}

template <typename Field>
double Median(std::vector<Sample> samples, Field field) {
    std::vector<double> values;
    for (const Sample& sample : samples) {
        values.push_back(static_cast<double>(sample.*field));
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The most the service may cost against a reference.
struct Targets {
    double ready;
    double stop;
    double rss;
};

void Row(const char* what, double service, double floor, const char* unit, double limit) {
    const double ratio = service / floor;
    std::printf("| %-28s | %10.3f %-3s | %10.3f %-3s | %5.2f x | <= %.2f x | %s |\n", what, service, unit,
                floor, unit, ratio, limit, ratio <= limit ? "met" : "MISSED");
}

void Table(const char* reference, const std::vector<Sample>& service, const std::vector<Sample>& other,
           long serviceWakeUps, long otherWakeUps, const Targets& targets) {
    std::printf("\n| %-28s | %14s | %14s | %7s | %9s | %6s |\n", "measure", "service", reference, "ratio",
                "target", "result");
    std::printf("|%s|%s|%s|%s|%s|%s|\n", std::string(30, '-').c_str(), std::string(16, '-').c_str(),
                std::string(16, '-').c_str(), std::string(9, '-').c_str(), std::string(11, '-').c_str(),
                std::string(8, '-').c_str());
    Row("start to ready line", Median(service, &Sample::startMs), Median(other, &Sample::startMs), "ms",
        targets.ready);
    Row("SIGTERM to reaped", Median(service, &Sample::stopMs), Median(other, &Sample::stopMs), "ms",
        targets.stop);
    Row("peak RSS", Median(service, &Sample::peakRssKiB) / 1024.0,
        Median(other, &Sample::peakRssKiB) / 1024.0, "MiB", targets.rss);
    std::printf("| %-28s | %14ld | %14ld | %7s | %9s | %6s |\n", "wake-ups while idle", serviceWakeUps,
                otherWakeUps, "", "0", serviceWakeUps == 0 ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s SERVICE FLOOR PIDFILE_DAEMON [RUNS] [IDLE_SECONDS]\n", argv[0]);
        return 2;
    }
    const char* service = argv[1];
    const char* floor = argv[2];
    const char* pidfileDaemon = argv[3];
    const int runs = argc > 4 ? std::atoi(argv[4]) : 200;
    const int idleSeconds = argc > 5 ? std::atoi(argv[5]) : 10;
    // The runtime directory of a real session is tmpfs (/run/user/<uid>); /dev/shm is the nearest.
    char pattern[] = "/dev/shm/zorvandelith-bench-XXXXXX";
    const std::string runtime = mkdtemp(pattern);

    std::vector<Sample> serviceSamples;
    std::vector<Sample> floorSamples;
    std::vector<Sample> pidfileSamples;
    for (int run = 0; run < runs; ++run) {
        serviceSamples.push_back(RunOnce(service, runtime));
        floorSamples.push_back(RunOnce(floor, runtime));
        pidfileSamples.push_back(RunOnce(pidfileDaemon, runtime));
    }
    const long serviceWakeUps = IdleWakeUps(service, runtime, idleSeconds);
    const long floorWakeUps = IdleWakeUps(floor, runtime, idleSeconds);
    const long pidfileWakeUps = IdleWakeUps(pidfileDaemon, runtime, idleSeconds);
    unlink((runtime + "/rtroot/.root-directory").c_str());  // the mark the service left; its names are gone
    rmdir((runtime + "/rtroot").c_str());
    rmdir(runtime.c_str());

    std::printf("%d interleaved runs each, medians\n", runs);
    Table("floor", serviceSamples, floorSamples, serviceWakeUps, floorWakeUps, {1.10, 1.20, 1.15});
    Table("pidfile(3)", serviceSamples, pidfileSamples, serviceWakeUps, pidfileWakeUps, {1.00, 0.60, 1.05});
    return 0;
}
