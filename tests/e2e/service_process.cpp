#include "tests/e2e/service_process.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/close_range.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include "tests/support/process_stats.h"
#include "tests/support/realtime.h"

namespace e2e {
namespace {

// Leaves the pipe with no room at all, as a reader that stopped reading would.
void FillPipe(int writeEnd) {
    const int flags = fcntl(writeEnd, F_GETFL);
    fcntl(writeEnd, F_SETFL, flags | O_NONBLOCK);
    const std::string block(4096, 'x');
    while (write(writeEnd, block.data(), block.size()) > 0) {
    }
    while (write(writeEnd, block.data(), 1) > 0) {
    }
    fcntl(writeEnd, F_SETFL, flags);
}

}  // namespace

// Dropped from the bounding set, a capability is not root's after exec:
// the rights are then the limits'.
bool LimitRealTime(rlim_t realTimeLimit, bool keepsNiceCapability, std::optional<rlim_t> lockedMemoryLimit) {
    const bool mayHaveRealTime = realTimeLimit != 0 || keepsNiceCapability;
    for (const int capability : {CAP_SYS_NICE, CAP_IPC_LOCK}) {
        if ((capability == CAP_SYS_NICE && keepsNiceCapability) ||
            (capability == CAP_IPC_LOCK && (!mayHaveRealTime || lockedMemoryLimit))) {
            continue;
        }
        if (geteuid() == 0 && prctl(PR_CAPBSET_READ, capability, 0, 0, 0) == 1 &&
            prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0) {
            perror("test launcher: prctl(PR_CAPBSET_DROP)");
            return false;
        }
    }
    // The soft limit; the hard one is raised only where it must be.
    const auto limit = [](int resource, rlim_t value) {
        rlimit current{};
        if (getrlimit(resource, &current) != 0) {
            return false;
        }
        current.rlim_cur = value;
        current.rlim_max = std::max(current.rlim_max, value);
        return setrlimit(resource, &current) == 0;
    };
    if (!limit(RLIMIT_RTPRIO, realTimeLimit) ||
        (mayHaveRealTime &&
         !limit(RLIMIT_MEMLOCK, lockedMemoryLimit.value_or(testsupport::kUnitLockedMemory)))) {
        perror("test launcher: setrlimit");
        return false;
    }
    return true;
}

ServiceProcess::ServiceProcess(const Options& options) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return;
    }
    // Blocked before the fork, so that a signal sent as soon as the child
    // exists is already pending in it, whatever the scheduler does.
    sigset_t childMask;
    sigset_t parentMask;
    sigemptyset(&childMask);
    if (options.terminationBlockedAtStart) {
        sigaddset(&childMask, SIGTERM);
    }
    sigprocmask(SIG_BLOCK, &childMask, &parentMask);
    // Made before the fork: the child only execs.
    std::vector<char*> argv = {const_cast<char*>(options.program.c_str())};
    for (const std::string& argument : options.arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    neverRead_ = options.consoleNeverRead;
    if (neverRead_) {
        FillPipe(ends[1]);
    }
    pid_ = fork();
    if (pid_ == 0) {
        dup2(ends[1], STDOUT_FILENO);
        if (options.diagnostics >= 0) {
            dup2(options.diagnostics, STDERR_FILENO);
        }
        if (options.standardStreamsClosed) {
            close(STDIN_FILENO);
            close(STDOUT_FILENO);
            close(STDERR_FILENO);
        }
        // Only what a clean launcher passes: the descriptor budget is then exact.
        close_range(STDERR_FILENO + 1, ~0U, 0);
        if (options.umask) {
            umask(*options.umask);
        }
        if (options.descriptorLimit) {
            const rlimit limit = {*options.descriptorLimit, *options.descriptorLimit};
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        for (const auto& [name, value] : options.environment) {
            value.empty() ? unsetenv(name.c_str()) : setenv(name.c_str(), value.c_str(), 1);
        }
        if (!LimitRealTime(options.realTimeLimit, options.keepsNiceCapability, options.lockedMemoryLimit)) {
            _exit(126);
        }
        sigprocmask(SIG_SETMASK, &childMask, nullptr);
        execv(options.program.c_str(), argv.data());
        _exit(127);
    }
    sigprocmask(SIG_SETMASK, &parentMask, nullptr);
    close(ends[1]);
    output_ = ends[0];
}

ServiceProcess::~ServiceProcess() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (output_ >= 0) {
        close(output_);
    }
}

bool ServiceProcess::ReadSome(std::chrono::milliseconds within) {
    if (neverRead_) {
        std::this_thread::sleep_for(std::min(within, std::chrono::milliseconds(10)));
        return false;
    }
    pollfd ready = {output_, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(within.count())) <= 0) {
        return false;
    }
    char buffer[4096];
    const ssize_t got = read(output_, buffer, sizeof buffer);
    if (got <= 0) {
        return false;
    }
    console_.append(buffer, static_cast<std::size_t>(got));
    return true;
}

bool ServiceProcess::WaitForLine(const std::string& line, std::chrono::milliseconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    const std::string wanted = line + "\n";
    while (console_.find(wanted) == std::string::npos) {
        // With no time left, what the pipe already holds is still read.
        const auto left =
            std::max(std::chrono::milliseconds(0), std::chrono::duration_cast<std::chrono::milliseconds>(
                                                       deadline - std::chrono::steady_clock::now()));
        if (!ReadSome(left)) {
            return false;
        }
    }
    return true;
}

void ServiceProcess::Signal(int signal) const {
    kill(pid_, signal);
}

bool ServiceProcess::Running() const {
    siginfo_t info{};
    return !reaped_ && waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

int ServiceProcess::WaitForExit(std::chrono::milliseconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (!reaped_ && std::chrono::steady_clock::now() < deadline) {
        ReadSome(std::chrono::milliseconds(10));
        if (waitpid(pid_, &status_, WNOHANG) == pid_) {
            reaped_ = true;
        }
    }
    if (!reaped_) {
        return -1000;
    }
    while (ReadSome(std::chrono::milliseconds(100))) {
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -WTERMSIG(status_);
}

int ServiceProcess::Reap(rusage* usage) {
    if (!reaped_ && wait4(pid_, &status_, 0, usage) == pid_) {
        reaped_ = true;
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -WTERMSIG(status_);
}

long ServiceProcess::ContextSwitches() const {
    return testsupport::ContextSwitches(pid_);
}

std::string OwnLines(int fd, const std::string& program) {
    std::string all;
    char chunk[512];
    for (ssize_t length; (length = read(fd, chunk, sizeof chunk)) > 0;) {
        all.append(chunk, static_cast<std::size_t>(length));
    }
    std::istringstream lines(all);
    std::string own;
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(program + ": ")) {
            own += line + "\n";
        }
    }
    return own;
}

}  // namespace e2e
