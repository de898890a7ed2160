#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/close_range.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "tests/e2e/service_process.h"
#include "tests/support/child.h"
#include "tests/support/console_lines.h"
#include "tests/support/realtime.h"
#include "tests/support/root_directory.h"
#include "tests/support/temp_dir.h"

namespace {

using console::Lines;
using namespace console;
using e2e::OwnLines;
using e2e::ServiceProcess;

class Service : public testing::Test {
protected:
    ServiceProcess::Options Options() const { return e2e::InRuntimeDirectory(runtime_.Path()); }
    std::string EntryPath() const { return runtime_ / "rtroot/Zorvandelith"; }
    bool NameStands() const { return access(EntryPath().c_str(), F_OK) == 0; }

    testsupport::TempDir runtime_;
};

TEST_F(Service, TerminationSignalsShutDownInOrderAndFreeTheName) {
    for (const int signal : {SIGTERM, SIGINT}) {
        ServiceProcess service(Options());
        ASSERT_TRUE(service.WaitForLine(kInitialized)) << service.Console();
        EXPECT_EQ(service.Console(), Lines({kStarted, kInitialized}));
        EXPECT_TRUE(NameStands());

        service.Signal(signal);
        EXPECT_EQ(service.WaitForExit(), 0) << strsignal(signal);
        EXPECT_EQ(service.Console(), WholeLife()) << strsignal(signal);
        EXPECT_FALSE(NameStands()) << strsignal(signal);
    }
}

TEST_F(Service, SecondInstanceFindsTheNameTakenAndExitsZero) {
    ServiceProcess first(Options());
    ASSERT_TRUE(first.WaitForLine(kInitialized));

    ServiceProcess second(Options());
    EXPECT_EQ(second.WaitForExit(), 0);
    EXPECT_EQ(second.Console(), Lines({kStarted, "Cannot catalog process name",
                                       "Error nr=5 Name is already catalogued", kCleaningUp, kCleanedUp}));

    EXPECT_TRUE(first.Running());
    EXPECT_TRUE(NameStands()) << "the second instance must not remove the first one's name";
    first.Signal(SIGTERM);
    EXPECT_EQ(first.WaitForExit(), 0);
}

TEST_F(Service, NextInstanceReplacesTheNameOfAKilledOne) {
    {
        ServiceProcess killed(Options());
        ASSERT_TRUE(killed.WaitForLine(kInitialized));
        killed.Signal(SIGKILL);
        EXPECT_EQ(killed.WaitForExit(), -SIGKILL);
    }
    ASSERT_TRUE(NameStands()) << "a killed process leaves its entry behind";

    ServiceProcess next(Options());
    ASSERT_TRUE(next.WaitForLine(kInitialized)) << next.Console();
    next.Signal(SIGTERM);
    EXPECT_EQ(next.WaitForExit(), 0);
    EXPECT_EQ(next.Console(), WholeLife());
}

TEST_F(Service, OtherSignalsNeitherEndNorWakeTheServiceForGood) {
    ServiceProcess service(Options());
    ASSERT_TRUE(service.WaitForLine(kInitialized));
    for (int round = 0; round < 20; ++round) {
        for (const int signal : {SIGHUP, SIGUSR1, SIGUSR2}) {
            service.Signal(signal);
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(service.Running());
    EXPECT_EQ(service.Console(), Lines({kStarted, kInitialized}));

    service.Signal(SIGTERM);
    EXPECT_EQ(service.WaitForExit(), 0);
    EXPECT_EQ(service.Console(), WholeLife());
}

TEST_F(Service, TerminationDuringStartUpIsHonouredAtTheFirstWait) {
    ServiceProcess::Options options = Options();
    options.terminationBlockedAtStart = true;
    ServiceProcess early(options);
    early.Signal(SIGTERM);  // pending before the program's own code has run
    EXPECT_EQ(early.WaitForExit(), 0);
    EXPECT_EQ(early.Console(), WholeLife());

    ServiceProcess starting(Options());
    ASSERT_TRUE(starting.WaitForLine(kStarted));
    starting.Signal(SIGTERM);
    EXPECT_EQ(starting.WaitForExit(), 0);
    EXPECT_EQ(starting.Console(), WholeLife());
    EXPECT_FALSE(NameStands());
}

TEST_F(Service, SeveralTerminationsAtOnceShutDownOnce) {
    ServiceProcess service(Options());
    ASSERT_TRUE(service.WaitForLine(kInitialized));
    for (int i = 0; i < 5; ++i) {
        service.Signal(i % 2 == 0 ? SIGTERM : SIGINT);
    }
    EXPECT_EQ(service.WaitForExit(), 0);
    EXPECT_EQ(service.Console(), WholeLife());
}

TEST_F(Service, UnsafeRootDirectoryIsRefusedWithAClearError) {
    const std::string root = runtime_ / "rtroot";
    ASSERT_TRUE(testsupport::MakeRootDirectory(root));
    ASSERT_EQ(chmod(root.c_str(), 0777), 0);
    ServiceProcess service(Options());
    EXPECT_EQ(service.WaitForExit(), 0);
    EXPECT_EQ(service.Console(),
              Lines({kStarted, "Cannot catalog process name",
                     "Error nr=13 Root directory is writable by group or others", kCleaningUp, kCleanedUp}));
}

// The shipped service's own promise, which a worker changes by design: its
// threads' context switches over a second of waiting.
TEST_F(Service, WaitingCostsNoWakeUps) {
    ServiceProcess service(Options());
    ASSERT_TRUE(service.WaitForLine(kInitialized));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const long before = service.ContextSwitches();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(service.ContextSwitches(), before)
        << "the service as shipped takes no wake-up while it waits; a polling worker wakes the service once "
           "per pause, so with one this test fails by design (docs/worker.md, \"Adding a worker\")";
    service.Signal(SIGTERM);
    EXPECT_EQ(service.WaitForExit(), 0);
}

// A console that takes no more: a full file system (/dev/full answers every
// write with ENOSPC), or a file at the process's file-size limit, which would
// otherwise kill it with SIGXFSZ mid-shutdown. Its lines are dropped, stderr
// says once what the write got, and the service lives and ends as it would
// with any console, its name removed.
TEST_F(Service, AConsoleThatTakesNoMoreCostsItsLinesAndSaysWhy) {
    struct Case {
        const char* name;
        std::string console;
        rlim_t fileSizeLimit;
        std::string printed;  // what the console holds afterwards
        const char* error;
    };
    const std::string file = runtime_ / "console";
    const Case cases[] = {
        {"full", "/dev/full", RLIM_INFINITY, "", "No space left on device (ENOSPC)"},
        {"at its size limit", file, 60, WholeLife().substr(0, 60), "File too large (EFBIG)"},
    };
    const std::string runtime = runtime_.Path();
    for (const Case& c : cases) {
        int diagnostics[2] = {-1, -1};
        ASSERT_EQ(pipe2(diagnostics, O_CLOEXEC), 0);
        const pid_t service = testsupport::ForkChild([&] {
            const int console = open(c.console.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            const rlimit limit = {c.fileSizeLimit, c.fileSizeLimit};
            if (console < 0 || dup2(console, STDOUT_FILENO) < 0 || dup2(diagnostics[1], STDERR_FILENO) < 0 ||
                setrlimit(RLIMIT_FSIZE, &limit) != 0 || !e2e::LimitRealTime(0)) {
                return 126;
            }
            close_range(STDERR_FILENO + 1, ~0U, 0);
            setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
            unsetenv("NOTIFY_SOCKET");
            execl(ZORVANDELITH_BINARY, ZORVANDELITH_BINARY, nullptr);
            return 127;
        });
        close(diagnostics[1]);
        ASSERT_GT(service, 0);
        // Its name is the only sign of life it can give.
        for (int tries = 0; tries < 1000 && !NameStands(); ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(NameStands()) << c.name << ": the service did not register";
        kill(service, SIGTERM);
        int status = -1;
        for (int tries = 0; tries < 2000 && waitpid(service, &status, WNOHANG) == 0; ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (status == -1) {
            kill(service, SIGKILL);
            (void)testsupport::WaitChild(service);
            ADD_FAILURE() << c.name << ": the service did not end on SIGTERM";
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.name << ": " << status;
        EXPECT_FALSE(NameStands()) << c.name;
        // A full console fails at the first line, before the name is
        // registered; one at its size limit takes the start's lines.
        const std::string registered =
            "zorvandelith: root directory " + runtime + "/rtroot: registered Zorvandelith\n";
        const std::string dropped =
            std::string("zorvandelith: console: cannot write standard output, lines are dropped: ") +
            c.error + "\n";
        const std::string refused = testsupport::RealTimeRefused();
        EXPECT_EQ(OwnLines(diagnostics[0]),
                  c.console == file ? refused + registered + dropped : dropped + refused + registered)
            << c.name;
        close(diagnostics[0]);
        if (c.console == file) {
            std::stringstream printed;
            printed << std::ifstream(file).rdbuf();
            EXPECT_EQ(printed.str(), c.printed) << c.name;
        }
    }
}

// Whatever the console is, every line arrives whole and in order; and a pipe
// that others write to too keeps its blocking mode for them, although the
// service writes to it without waiting.
TEST_F(Service, EveryKindOfConsoleGetsItsLinesAndOthersKeepTheirPipe) {
    enum class Kind { File, Socket, Pipe };
    for (const Kind kind : {Kind::File, Kind::Socket, Kind::Pipe}) {
        const std::string file = runtime_ / "console";
        int ends[2] = {-1, -1};  // [0] read by the test, [1] the service's standard output
        if (kind == Kind::File) {
            ends[1] = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        } else if (kind == Kind::Socket) {
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        } else {
            ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
        }
        ASSERT_GE(ends[1], 0);
        const std::string runtime = runtime_.Path();
        const pid_t service = testsupport::ForkChild([&] {
            if (dup2(ends[1], STDOUT_FILENO) < 0) {
                return 126;
            }
            setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
            unsetenv("NOTIFY_SOCKET");
            execl(ZORVANDELITH_BINARY, ZORVANDELITH_BINARY, nullptr);
            return 127;
        });
        for (int tries = 0; tries < 1000 && !NameStands(); ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(NameStands()) << static_cast<int>(kind);
        kill(service, SIGTERM);
        EXPECT_EQ(testsupport::WaitChild(service), 0) << static_cast<int>(kind);
        EXPECT_EQ(fcntl(ends[1], F_GETFL) & O_NONBLOCK, 0) << "the test's own end turned non-blocking";
        close(ends[1]);
        std::string console;
        if (kind == Kind::File) {
            std::stringstream read;
            read << std::ifstream(file).rdbuf();
            console = read.str();
        } else {
            char buffer[512];
            for (ssize_t got = 0; (got = read(ends[0], buffer, sizeof buffer)) > 0;) {
                console.append(buffer, static_cast<std::size_t>(got));
            }
            close(ends[0]);
        }
        EXPECT_EQ(console, console::WholeLife()) << static_cast<int>(kind);
    }
}

}  // namespace
