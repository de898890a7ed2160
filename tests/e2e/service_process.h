// Starts the built binary as a real process with its own environment and
// reads its console as a user's pipe would.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

#ifdef ZORVANDELITH_BINARY
inline constexpr const char* kDefaultProgram = ZORVANDELITH_BINARY;
#else
inline constexpr const char* kDefaultProgram = "";  // always named by the caller
#endif

class ServiceProcess {
public:
    struct Options {
        std::map<std::string, std::string> environment;  // an empty value unsets the variable
        bool terminationBlockedAtStart = false;          // as a signal that arrives before the program runs
        std::optional<mode_t> umask;                     // the creation mask it starts with
        std::optional<rlim_t> descriptorLimit;           // RLIMIT_NOFILE it starts with
        bool standardStreamsClosed = false;              // started as `cmd <&- >&- 2>&-`
        bool consoleNeverRead = false;          // a reader that stops: the pipe is full from the start
        std::string program = kDefaultProgram;  // another program run the same way, such as a tool
        std::vector<std::string> arguments;     // after the program\'s name
        int diagnostics = -1;                   // where its standard error goes, when not the test's own
        // The real-time rights it starts with, by default none, so that every
        // run is refused real time and says so, whoever runs it: RLIMIT_RTPRIO
        // realTimeLimit, and, for root, CAP_SYS_NICE only when kept. Where it
        // may have any, RLIMIT_MEMLOCK is 8 MiB, as the units set it, and
        // root's CAP_IPC_LOCK, which would override that, is dropped.
        rlim_t realTimeLimit = 0;
        bool keepsNiceCapability = false;
        // Set: RLIMIT_MEMLOCK instead, and root keeps CAP_IPC_LOCK, as sudo gives it.
        std::optional<rlim_t> lockedMemoryLimit;
    };

    explicit ServiceProcess(const Options& options);
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;
    ~ServiceProcess();

    pid_t Pid() const { return pid_; }
    // Reads until the console has printed the line (without its line break);
    // false if it does not within the time.
    bool WaitForLine(const std::string& line, std::chrono::milliseconds within = std::chrono::seconds(10));
    void Signal(int signal) const;
    bool Running() const;
    // Blocks until the process ends, without reading its console: for
    // measurements, with the resources it used. The exit status, or -signal.
    int Reap(rusage* usage);
    // The exit status, or -signal; everything printed is in Console() afterwards.
    int WaitForExit(std::chrono::milliseconds within = std::chrono::seconds(20));
    const std::string& Console() const { return console_; }
    // Voluntary and involuntary context switches of every thread so far.
    long ContextSwitches() const;

private:
    bool ReadSome(std::chrono::milliseconds within);

    pid_t pid_ = -1;
    int output_ = -1;
    int status_ = 0;
    bool reaped_ = false;
    bool neverRead_ = false;
    std::string console_;
};

// Gives the process about to exec the real-time rights Options describes;
// false, said on stderr, where they cannot be had.
bool LimitRealTime(rlim_t realTimeLimit, bool keepsNiceCapability = false,
                   std::optional<rlim_t> lockedMemoryLimit = std::nullopt);

// The lines a program wrote to the descriptor, up to its end, that are its own
// diagnostics: "<program>: ...". A coverage build's runtime adds lines of its
// own at exit when the file-size limit stops it writing its counts.
std::string OwnLines(int fd, const std::string& program = "zorvandelith");

// A service whose root directory lives under `runtime`, told of a service
// manager only when notifySocket is given.
inline ServiceProcess::Options InRuntimeDirectory(const std::string& runtime,
                                                  const std::string& notifySocket = "") {
    ServiceProcess::Options options;
    options.environment = {{"XDG_RUNTIME_DIR", runtime}, {"NOTIFY_SOCKET", notifySocket}};
    return options;
}

}  // namespace e2e
