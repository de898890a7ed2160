// rtroot as an operator runs it: `rtroot list` over 10,000 live entries, and
// how soon `rtroot wait` returns once the name it waits for is catalogued.
// Usage: rtroot_bench RTROOT [RUNS]
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "rtkernel/hosted/root/directory.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kEntries = 10000;

pid_t Spawn(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = -1;
    posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return child;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s RTROOT [RUNS]\n", argv[0]);
        return 64;
    }
    const std::string rtroot = argv[1];
    const int runs = argc > 2 ? std::atoi(argv[2]) : 20;
    // This process holds every entry, so it needs a descriptor for each.
    const rlimit many = {kEntries + 64, kEntries + 64};
    if (setrlimit(RLIMIT_NOFILE, &many) != 0) {
        std::fprintf(stderr, "cannot raise the descriptor limit to %d: run as root or raise the hard limit\n",
                     kEntries + 64);
        return 69;
    }
    const std::string base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string pattern = base + "/rtroot-bench-XXXXXX";
    const std::string dir = mkdtemp(pattern.data());
    const std::string root = dir + "/rtroot";
    std::unique_ptr<hosted::RootDirectory> holder;
    hosted::RootDirectory::Open(root, holder);
    for (int i = 0; i < kEntries; ++i) {
        holder->Catalog(("Entry" + std::to_string(i)).c_str(), 2, 1);
    }

    std::vector<double> listMs;
    for (int run = 0; run < runs; ++run) {
        const auto start = Clock::now();
        const pid_t child = Spawn({rtroot, "--root", root, "list"});
        waitpid(child, nullptr, 0);
        listMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }

    std::vector<double> wakeMs;
    for (int run = 0; run < runs; ++run) {
        const std::string name = "Late" + std::to_string(run);
        const pid_t waiter = Spawn({rtroot, "--root", root, "wait", name, "--timeout", "10"});
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // asleep on the directory by now
        const auto start = Clock::now();
        holder->Catalog(name.c_str(), 2, 1);
        waitpid(waiter, nullptr, 0);
        wakeMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::filesystem::remove_all(dir);

    const double list = Median(listMs);
    const double wake = Median(wakeMs);
    std::printf("rtroot list over %d live entries: %.1f ms median (target < 1000 ms): %s\n", kEntries, list,
                list < 1000 ? "met" : "NOT met");
    std::printf("rtroot wait, name catalogued to the waiter reaped: %.2f ms median (target < 5 ms): %s\n",
                wake, wake < 5 ? "met" : "NOT met");
    return 0;
}
