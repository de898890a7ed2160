// rtroot against real root directories and real service processes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "rtkernel/hosted/root_directory.h"
#include "tests/e2e/service_process.h"
#include "tests/support/console_lines.h"
#include "tests/support/temp_dir.h"

namespace {

using console::kInitialized;
using e2e::ServiceProcess;
using namespace std::chrono_literals;

class Rtroot : public testing::Test {
protected:
    std::string RootPath() const { return runtime_ / "rtroot"; }
    std::string Entry(const std::string& name) const { return RootPath() + "/" + name; }

    ServiceProcess::Options Tool(std::vector<std::string> arguments) const {
        auto options = e2e::InRuntimeDirectory(runtime_.Path());
        options.program = RTROOT_BINARY;
        options.arguments = std::move(arguments);
        return options;
    }
    // Exit status and standard output of one run of the tool.
    std::pair<int, std::string> Run(std::vector<std::string> arguments) const {
        ServiceProcess tool(Tool(std::move(arguments)));
        const int status = tool.WaitForExit();
        return {status, tool.Console()};
    }

    // A stale "Zorvandelith": its service killed while it held the name.
    void LeaveStaleService() const {
        ServiceProcess killed(e2e::InRuntimeDirectory(runtime_.Path()));
        ASSERT_TRUE(killed.WaitForLine(kInitialized));
        killed.Signal(SIGKILL);
        ASSERT_EQ(killed.WaitForExit(), -SIGKILL);
    }

    // One of each kind of thing that can stand in the directory.
    void Populate() {
        LeaveStaleService();
        ASSERT_EQ(hosted::RootDirectory::Open(RootPath(), holder_), hosted::ErrorCode::None);
        ASSERT_EQ(holder_->Catalog("Holder", 1, 7), hosted::ErrorCode::None);  // live, held by this test
        std::ofstream(Entry("Garbage")) << "\x01\x02 not a record";
        std::ofstream(Entry("Truncated")) << "rtentry 1 type=2 obj";
        ASSERT_EQ(symlink("/etc/passwd", Entry("Link").c_str()), 0);
        ASSERT_EQ(mkfifo(Entry("Fifo").c_str(), 0600), 0);
        ASSERT_EQ(mkdir(Entry("Dir").c_str(), 0700), 0);
        std::ofstream(Entry(".new-1-1")) << "rtentry 1 type=2 object=1 pid=1\n";  // a work file: never shown
    }

    testsupport::TempDir runtime_;
    std::unique_ptr<hosted::RootDirectory> holder_;
};

TEST_F(Rtroot, ListAndShowTellLiveStaleAndDamaged) {
    Populate();
    const std::map<std::string, std::string> states = {
        {"Dir", "damaged"},  {"Fifo", "damaged"},      {"Garbage", "damaged"},    {"Holder", "live"},
        {"Link", "damaged"}, {"Truncated", "damaged"}, {"Zorvandelith", "stale"},
    };
    const auto [status, json] = Run({"list", "--json"});
    ASSERT_EQ(status, 0);
    std::map<std::string, std::string> listed;
    for (const auto& entry : nlohmann::json::parse(json)) {
        listed[entry["name"]] = entry["state"];
        const bool live = entry["state"] == "live";
        EXPECT_EQ(entry["pid"].is_null(), !live) << entry.dump();
        if (live) {
            EXPECT_EQ(entry["pid"], getpid());
            EXPECT_EQ(entry["typeName"], "thread");
        }
    }
    EXPECT_EQ(listed, states);

    const auto [tableStatus, table] = Run({"--root", RootPath(), "list"});
    EXPECT_EQ(tableStatus, 0);
    EXPECT_EQ(table.rfind("NAME          STATE    TYPE     PID", 0), 0u) << table;
    EXPECT_NE(table.find("Holder        live     thread   " + std::to_string(getpid())), std::string::npos)
        << table;

    for (const auto& [name, expected] : std::map<std::string, int>{
             {"Holder", 0}, {"Zorvandelith", 1}, {"Garbage", 1}, {"Dir", 1}, {"Missing", 2}}) {
        EXPECT_EQ(Run({"show", name}).first, expected) << name;
    }
}

TEST_F(Rtroot, CleanRemovesWhatTheKernelWouldReplaceAndNothingElse) {
    Populate();
    const auto [dryStatus, dryRun] = Run({"clean", "--dry-run"});
    EXPECT_EQ(dryStatus, 0);
    EXPECT_NE(dryRun.find("would remove Zorvandelith (stale)"), std::string::npos) << dryRun;
    EXPECT_EQ(access(Entry("Zorvandelith").c_str(), F_OK), 0) << "a dry run removed something";

    const auto [status, removed] = Run({"clean"});
    EXPECT_EQ(status, 0);
    EXPECT_EQ(removed,
              "removed Fifo (damaged)\nremoved Garbage (damaged)\nremoved Link (damaged)\n"
              "removed Truncated (damaged)\nremoved Zorvandelith (stale)\n");
    for (const char* kept : {"Holder", "Dir", ".new-1-1"}) {
        EXPECT_EQ(access(Entry(kept).c_str(), F_OK), 0) << kept;
    }
    EXPECT_EQ(access("/etc/passwd", F_OK), 0);
}

TEST_F(Rtroot, CleanRacingAStartingInstanceNeverRemovesIt) {
    for (int round = 0; round < 20; ++round) {
        LeaveStaleService();
        ServiceProcess service(e2e::InRuntimeDirectory(runtime_.Path()));
        ServiceProcess cleaner(Tool({"clean"}));
        EXPECT_EQ(cleaner.WaitForExit(), 0) << cleaner.Console();
        ASSERT_TRUE(service.WaitForLine(kInitialized)) << "round " << round << ": " << service.Console();
        EXPECT_EQ(Run({"show", "Zorvandelith"}).first, 0) << "round " << round << ": the live entry went";
        service.Signal(SIGKILL);
        service.WaitForExit();
    }
}

TEST_F(Rtroot, WaitReturnsWhenTheNameComesAliveAndNotBefore) {
    LeaveStaleService();
    EXPECT_EQ(Run({"wait", "Zorvandelith", "--timeout", "0.2"}).first, 1) << "a stale entry is not live";

    ServiceProcess waiter(Tool({"wait", "Zorvandelith", "--timeout", "20"}));
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(waiter.Running());
    ServiceProcess service(e2e::InRuntimeDirectory(runtime_.Path()));
    ASSERT_TRUE(service.WaitForLine(kInitialized));
    EXPECT_EQ(waiter.WaitForExit(5s), 0);
    service.Signal(SIGTERM);
    EXPECT_EQ(service.WaitForExit(), 0);
}

TEST_F(Rtroot, BadUsageAndUnsafeDirectoriesAreClearErrors) {
    const std::vector<std::vector<std::string>> badUsage = {
        {},
        {"frob"},
        {"show"},
        {"list", "Extra"},
        {"wait", "Name", "--timeout", "soon"},
        {"clean", "--json"},
        {"--bogus", "list"},
    };
    for (const auto& arguments : badUsage) {
        EXPECT_EQ(Run(arguments).first, 64) << (arguments.empty() ? "(none)" : arguments[0]);
    }
    EXPECT_EQ(Run({"--help"}).first, 0);
    EXPECT_EQ(Run({"--version"}).second, "rtroot 1.0.0\n");

    ASSERT_EQ(mkdir(RootPath().c_str(), 0700), 0);
    ASSERT_EQ(chmod(RootPath().c_str(), 0777), 0);
    EXPECT_EQ(Run({"list"}).first, 69);
    EXPECT_EQ(Run({"--root", runtime_ / "absent", "list"}), std::make_pair(0, std::string()));
}

}  // namespace
