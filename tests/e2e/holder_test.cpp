// The root directory's promise under a hostile host: of all instances exactly
// one holds the name, a live holder's entry is never read as dead, a dead
// holder's entry is always replaceable, and SIGTERM always ends the service.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <thread>

#include "tests/e2e/service_process.h"
#include "tests/support/console_lines.h"
#include "tests/support/root_directory.h"
#include "tests/support/temp_dir.h"

namespace {

using console::Lines;
using namespace console;
using e2e::ServiceProcess;
using namespace std::chrono_literals;

const std::string kNameTaken = Lines({kStarted, "Cannot catalog process name",
                                      "Error nr=5 Name is already catalogued", kCleaningUp, kCleanedUp});

class Holder : public testing::Test {
protected:
    ServiceProcess::Options Options() const { return e2e::InRuntimeDirectory(runtime_.Path()); }
    std::string RootPath() const { return runtime_ / "rtroot"; }
    std::string EntryPath() const { return RootPath() + "/Zorvandelith"; }
    bool NameStands() const { return access(EntryPath().c_str(), F_OK) == 0; }

    // For a holder whose console cannot be read: its name shows it is up.
    bool WaitForName(std::chrono::milliseconds within = 10s) const {
        const auto deadline = std::chrono::steady_clock::now() + within;
        while (!NameStands() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        return NameStands();
    }

    std::string SecondInstanceConsole() const {
        ServiceProcess second(Options());
        EXPECT_EQ(second.WaitForExit(), 0);
        return second.Console();
    }

    testsupport::TempDir runtime_;
};

TEST_F(Holder, ALiveHolderStaysTheOnlyHolderWhateverItsEntrysMode) {
    struct Case {
        const char* name;
        mode_t umask;
        bool chmodEntry;
    };
    for (const Case& c : {Case{"umask 0477", 0477, false}, Case{"umask 0077", 0077, true}}) {
        auto options = Options();
        options.umask = c.umask;
        ServiceProcess first(options);
        ASSERT_TRUE(first.WaitForLine(kInitialized)) << c.name << first.Console();
        if (c.chmodEntry) {
            ASSERT_EQ(chmod(EntryPath().c_str(), 0), 0);
        }
        EXPECT_EQ(SecondInstanceConsole(), kNameTaken) << c.name;
        EXPECT_TRUE(NameStands()) << c.name;
        first.Signal(SIGTERM);
        EXPECT_EQ(first.WaitForExit(), 0) << c.name;
        EXPECT_EQ(first.Console(), WholeLife()) << c.name;
        EXPECT_FALSE(NameStands()) << c.name;
    }
}

TEST_F(Holder, TheRootDirectoryIsCreatedPrivateWhateverTheUmask) {
    auto options = Options();
    options.umask = 0277;
    ServiceProcess first(options);
    ASSERT_TRUE(first.WaitForLine(kInitialized)) << first.Console();
    struct stat status {};
    ASSERT_EQ(stat(RootPath().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    first.Signal(SIGTERM);
    EXPECT_EQ(first.WaitForExit(), 0);
    ServiceProcess next(Options());
    EXPECT_TRUE(next.WaitForLine(kInitialized)) << next.Console();
}

TEST_F(Holder, StartedWithStandardStreamsClosedNothingIsWrittenIntoTheEntry) {
    auto options = Options();
    options.standardStreamsClosed = true;
    ServiceProcess first(options);
    ASSERT_TRUE(WaitForName());
    std::this_thread::sleep_for(100ms);  // past the line that would have landed in it
    std::ifstream entry(EntryPath());
    const std::string record((std::istreambuf_iterator<char>(entry)), {});
    EXPECT_TRUE(
        std::regex_match(record, std::regex("rtentry 1 type=2 object=[0-9]+ pid=[0-9]+ pidns=[0-9]+\n")))
        << record;
    EXPECT_EQ(SecondInstanceConsole(), kNameTaken);
    first.Signal(SIGTERM);
    EXPECT_EQ(first.WaitForExit(), 0);
    EXPECT_FALSE(NameStands());
}

TEST_F(Holder, AConsoleReaderThatStopsCannotHoldTheServiceOrItsName) {
    auto options = Options();
    options.consoleNeverRead = true;
    ServiceProcess stalled(options);
    ASSERT_TRUE(WaitForName(15s)) << "start-up waited for the reader for good";
    stalled.Signal(SIGTERM);
    EXPECT_EQ(stalled.WaitForExit(15s), 0);
    EXPECT_FALSE(NameStands());
}

// A termination request does not wait for a console that takes nothing: the
// lines it cannot take at once are dropped, and the service ends in order
// within a second.
TEST_F(Holder, AStalledConsoleDoesNotDelayATerminationRequest) {
    auto options = Options();
    options.consoleNeverRead = true;
    options.terminationBlockedAtStart = true;
    const auto asked = std::chrono::steady_clock::now();
    ServiceProcess stalled(options);
    stalled.Signal(SIGTERM);  // pending before its first line
    EXPECT_EQ(stalled.WaitForExit(), 0);
    EXPECT_LE(std::chrono::steady_clock::now() - asked, 1s);
    EXPECT_FALSE(NameStands());
}

TEST_F(Holder, WhatCannotHoldALockAtTheNameIsReplacedAndADirectoryIsNamed) {
    struct Case {
        const char* name;
        std::function<bool(const std::string&)> make;
        std::string console;
    };
    const auto socketAt = [](const std::string& path) {
        const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        const bool bound = bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        close(listener);
        return bound;
    };
    const Case cases[] = {
        {"Socket", socketAt, WholeLife()},
        {"Fifo", [](const std::string& path) { return mkfifo(path.c_str(), 0600) == 0; }, WholeLife()},
        // Only root may make a device node; as anyone else a FIFO stands in for it.
        {"Device",
         [](const std::string& path) {
             return geteuid() == 0 ? mknod(path.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0
                                   : mkfifo(path.c_str(), 0600) == 0;
         },
         WholeLife()},
        {"Directory", [](const std::string& path) { return mkdir(path.c_str(), 0700) == 0; },
         Lines({kStarted, "Cannot catalog process name",
                "Error nr=16 Name is taken by a directory, which is not an entry", kCleaningUp, kCleanedUp})},
    };
    ASSERT_TRUE(testsupport::MakeRootDirectory(RootPath()));
    for (const Case& c : cases) {
        ASSERT_TRUE(c.make(EntryPath())) << c.name;
        ServiceProcess service(Options());
        if (c.console == WholeLife()) {
            ASSERT_TRUE(service.WaitForLine(kInitialized)) << c.name << service.Console();
            service.Signal(SIGTERM);
        }
        EXPECT_EQ(service.WaitForExit(), 0) << c.name;
        EXPECT_EQ(service.Console(), c.console) << c.name;
        rmdir(EntryPath().c_str());
    }
}

TEST_F(Holder, AStaleNameIsReplacedWithNoMoreDescriptorsThanACleanStart) {
#ifdef ZORVANDELITH_SANITIZED
    GTEST_SKIP() << "a sanitizer's runtime opens descriptors of its own; the plain builds run this";
#endif
    {
        ServiceProcess killed(Options());
        ASSERT_TRUE(killed.WaitForLine(kInitialized));
        killed.Signal(SIGKILL);
        ASSERT_EQ(killed.WaitForExit(), -SIGKILL);
    }
    ASSERT_TRUE(NameStands());
    auto options = Options();
    options.descriptorLimit = 5;  // the standard three, the root directory and one entry
    ServiceProcess tight(options);
    ASSERT_TRUE(tight.WaitForLine(kInitialized)) << tight.Console();
    tight.Signal(SIGTERM);
    EXPECT_EQ(tight.WaitForExit(), 0);
    EXPECT_EQ(tight.Console(), WholeLife());
}

// A process elsewhere that takes the directory's change lock and stops (a
// cleaner stopped with Ctrl-Z, say) costs a start its registration, after a
// bounded wait or at once on SIGTERM or SIGINT, and never the orderly shutdown.
TEST_F(Holder, AStoppedLockHolderElsewhereNeitherHangsAStartNorKeepsItFromStopping) {
    struct Case {
        const char* name;
        int signal;  // sent while the start waits for the lock; 0: none
        const char* error;
        std::chrono::milliseconds within;
    };
    const Case cases[] = {
        {"bounded wait", 0, "Error nr=17 Root directory is locked by a process that does not let go", 6s},
        {"SIGTERM", SIGTERM, "Error nr=18 Interrupted by a termination request", 1s},
        {"SIGINT", SIGINT, "Error nr=18 Interrupted by a termination request", 1s},
    };
    for (const Case& c : cases) {
        {
            ServiceProcess killed(Options());  // a stale entry, so the start needs the lock
            ASSERT_TRUE(killed.WaitForLine(kInitialized));
            killed.Signal(SIGKILL);
            ASSERT_EQ(killed.WaitForExit(), -SIGKILL);
        }
        int locked[2];
        ASSERT_EQ(pipe(locked), 0);
        const pid_t holder = fork();
        if (holder == 0) {
            const int directory = open(RootPath().c_str(), O_RDONLY | O_DIRECTORY);
            const char ready = flock(directory, LOCK_EX) == 0 ? 'y' : 'n';
            (void)!write(locked[1], &ready, 1);
            pause();
            _exit(0);
        }
        close(locked[1]);
        char ready = 0;
        ASSERT_EQ(read(locked[0], &ready, 1), 1);
        close(locked[0]);
        ASSERT_EQ(ready, 'y');

        ServiceProcess start(Options());
        ASSERT_TRUE(start.WaitForLine(kStarted)) << c.name;
        std::this_thread::sleep_for(300ms);  // well inside its wait for the lock
        const auto asked = std::chrono::steady_clock::now();
        if (c.signal != 0) {
            start.Signal(c.signal);
        }
        EXPECT_EQ(start.WaitForExit(), 0) << c.name;
        EXPECT_LE(std::chrono::steady_clock::now() - asked, c.within) << c.name;
        EXPECT_EQ(start.Console(),
                  Lines({kStarted, "Cannot catalog process name", c.error, kCleaningUp, kCleanedUp}))
            << c.name;
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
        ServiceProcess next(Options());  // the stale entry is still replaceable
        ASSERT_TRUE(next.WaitForLine(kInitialized)) << c.name << next.Console();
        next.Signal(SIGTERM);
        EXPECT_EQ(next.WaitForExit(), 0) << c.name;
    }
}

}  // namespace
