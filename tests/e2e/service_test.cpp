#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "tests/e2e/service_process.h"
#include "tests/support/console_lines.h"
#include "tests/support/temp_dir.h"

namespace {

using console::Lines;
using namespace console;
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
    ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
    ASSERT_EQ(chmod(root.c_str(), 0777), 0);
    ServiceProcess service(Options());
    EXPECT_EQ(service.WaitForExit(), 0);
    EXPECT_EQ(service.Console(),
              Lines({kStarted, "Cannot catalog process name",
                     "Error nr=13 Root directory is writable by group or others", kCleaningUp, kCleanedUp}));
}

TEST_F(Service, WaitingCostsNoWakeUps) {
    ServiceProcess service(Options());
    ASSERT_TRUE(service.WaitForLine(kInitialized));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const long before = service.ContextSwitches();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(service.ContextSwitches(), before);
    service.Signal(SIGTERM);
    EXPECT_EQ(service.WaitForExit(), 0);
}

}  // namespace
