// rtroot against real root directories and real service processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "rtkernel/hosted/root/directory.h"
#include "tests/e2e/service_process.h"
#include "tests/support/console_lines.h"
#include "tests/support/listing.h"
#include "tests/support/realtime.h"
#include "tests/support/root_directory.h"
#include "tests/support/temp_dir.h"

namespace {

using console::kCleanedUp;
using console::kCleaningUp;
using console::kInitialized;
using console::kStarted;
using e2e::ServiceProcess;
using namespace std::chrono_literals;

class Rtroot : public testing::Test {
protected:
    std::string RootPath() const { return runtime_ / "rtroot"; }
    std::string Entry(const std::string& name) const { return RootPath() + "/" + name; }

    ServiceProcess::Options Tool(std::vector<std::string> arguments) const {
        auto options = e2e::InRuntimeDirectory(runtime_.Path());
        if (!profiles_.empty()) {
            options.environment["GCOV_PREFIX"] = profiles_;
        }
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
    // The tool with its standard error on its standard output, so that what an
    // operator reads on both is asserted; run through `through`, a command
    // that ends by running the rest of its words, when one is given.
    ServiceProcess::Options Merged(std::vector<std::string> arguments,
                                   const std::vector<std::string>& through = {}) const {
        auto options = Tool({"-c", "exec \"$@\" 2>&1", "sh"});
        options.program = "/bin/sh";
        options.arguments.insert(options.arguments.end(), through.begin(), through.end());
        options.arguments.emplace_back(RTROOT_BINARY);
        options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
        return options;
    }
    std::pair<int, std::string> RunMerged(std::vector<std::string> arguments,
                                          const std::vector<std::string>& through = {}) const {
        ServiceProcess tool(Merged(std::move(arguments), through));
        const int status = tool.WaitForExit();
        return {status, tool.Console()};
    }
    bool RootExists() const { return access(RootPath().c_str(), F_OK) == 0; }

    std::string profiles_;  // where a coverage build writes its profiles, when not beside the build

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

// Unasked, clean removes only what it shows to be dead: a stale entry and an
// abandoned work file. Everything else is reported and left until it is named,
// and a file that cannot be read is left exactly as it was.
TEST_F(Rtroot, CleanRemovesOnlyWhatItShowsDeadAndTheRestWhenNamed) {
    Populate();
    std::ofstream(Entry("Script")) << "#!/bin/sh\n";
    ASSERT_EQ(chmod(Entry("Script").c_str(), 0100), 0);  // execute-only: the tool cannot read it
    const timespec anHourAgo[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, Entry(".new-1-1").c_str(), anHourAgo, AT_SYMLINK_NOFOLLOW), 0);
    std::ofstream(Entry(".new-notes")) << "not a work file of the kernel's";
    const std::string script = geteuid() == 0 ? "left Script (damaged): a file that is not a whole entry, "
                                                "which no kernel wrote; rtroot clean Script removes it\n"
                                              : "left Script (unknown): an entry that cannot be read, whose "
                                                "holder cannot be told; rtroot clean Script removes it\n";
    const std::string left =
        "left Dir (damaged): a directory, never removed\n"
        "left Fifo (damaged): a symlink, FIFO, socket or device, which no kernel wrote; rtroot clean Fifo "
        "removes it\n"
        "left Garbage (damaged): a file that is not a whole entry, which no kernel wrote; rtroot clean "
        "Garbage removes it\n"
        "left Link (damaged): a symlink, FIFO, socket or device, which no kernel wrote; rtroot clean Link "
        "removes it\n" +
        script +
        "left Truncated (damaged): a file that is not a whole entry, which no kernel wrote; rtroot clean "
        "Truncated removes it\n";
    EXPECT_EQ(
        Run({"clean", "--dry-run"}),
        std::make_pair(
            0, left + "would remove Zorvandelith (stale)\nwould remove .new-1-1 (abandoned work file)\n"));
    EXPECT_EQ(
        Run({"clean"}),
        std::make_pair(0, left + "removed Zorvandelith (stale)\nremoved .new-1-1 (abandoned work file)\n"));
    for (const char* kept :
         {"Holder", "Dir", "Fifo", "Garbage", "Link", "Script", "Truncated", ".new-notes"}) {
        EXPECT_EQ(access(Entry(kept).c_str(), F_OK), 0) << kept;
    }
    struct stat status {};
    ASSERT_EQ(stat(Entry("Script").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0100u) << "looking changed a mode";

    EXPECT_EQ(
        Run({"clean", "Garbage", "Link", "Fifo"}),
        std::make_pair(
            0, std::string("removed Garbage (damaged)\nremoved Link (damaged)\nremoved Fifo (damaged)\n")));
    EXPECT_EQ(
        RunMerged({"clean", "Holder", "Dir"}),
        std::make_pair(
            1, std::string("rtroot: Holder: left: its holder lives\nrtroot: Dir: left: a directory\n")));
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

// Whatever a path given by mistake points at, every command removes and
// changes nothing there, and says in one line that it is not a root directory.
TEST_F(Rtroot, APathThatIsNoRootDirectoryIsLeftAsItWas) {
    const std::string home = runtime_ / "home";
    ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
    std::ofstream(home + "/thesis.tex") << "\\documentclass{article}\n";
    std::ofstream(home + "/.profile") << "umask 022\n";
    ASSERT_EQ(mkdir((home + "/src").c_str(), 0755), 0);
    ASSERT_EQ(symlink("src", (home + "/latest").c_str()), 0);
    ASSERT_EQ(mkfifo((home + "/pipe").c_str(), 0600), 0);
    std::ofstream(home + "/run.sh") << "#!/bin/sh\n";
    ASSERT_EQ(chmod((home + "/run.sh").c_str(), 0100), 0);
    const auto before = testsupport::Listing(home);
    const std::vector<std::vector<std::string>> commands = {{"list"},
                                                            {"list", "--json"},
                                                            {"show", "thesis.tex"},
                                                            {"wait", "run.sh", "--timeout", "0"},
                                                            {"clean", "--dry-run"},
                                                            {"clean"},
                                                            {"clean", "thesis.tex", "latest", "pipe"}};
    for (const std::string& directory : {home, std::string("/"), std::string("/etc"), std::string("/run")}) {
        for (const std::vector<std::string>& command : commands) {
            const bool writes =
                command.front() == "clean" && (command.size() == 1 || command[1] != "--dry-run");
            if (writes && directory != home) {
                continue;  // the system's own directories are only ever looked at by a test
            }
            std::vector<std::string> arguments = {"--root", directory};
            arguments.insert(arguments.end(), command.begin(), command.end());
            const auto [status, said] = RunMerged(arguments);
            EXPECT_EQ(status, 65) << directory << " " << command.front() << ": " << said;
            EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
            EXPECT_NE(said.find(": not a root directory"), std::string::npos) << said;
        }
    }
    EXPECT_EQ(testsupport::Listing(home), before);
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
        {"--root", "/tmp", "--system", "list"},
        {"list", "--as-owner"},
        {"clean", "--dry-run", "--as-owner"},
    };
    for (const auto& arguments : badUsage) {
        EXPECT_EQ(Run(arguments).first, 64) << (arguments.empty() ? "(none)" : arguments[0]);
    }
    EXPECT_EQ(Run({"--help"}).first, 0);
    EXPECT_EQ(Run({"--version"}).second, "rtroot 1.0.0\n");

    ASSERT_TRUE(testsupport::MakeRootDirectory(RootPath()));
    ASSERT_EQ(chmod(RootPath().c_str(), 0777), 0);
    EXPECT_EQ(Run({"list"}).first, 69);
}

// Every name the directory can hold has valid JSON: "name" shows it, with
// U+FFFD for each byte that is not UTF-8, and "nameHex" gives its bytes back.
TEST_F(Rtroot, JsonHoldsEveryNameTheDirectoryCanHold) {
    ASSERT_EQ(hosted::RootDirectory::Open(RootPath(), holder_), hosted::ErrorCode::None);
    ASSERT_EQ(holder_->Catalog("Holder", 1, 7), hosted::ErrorCode::None);
    const std::map<std::string, std::string> shownAs = {
        {"caf\xe9", "caf\xef\xbf\xbd"},  // Latin-1: no UTF-8
        {"caf\xc3\xa9", "caf\xc3\xa9"},  // the same word in UTF-8
        {"\xff\xfe x", "\xef\xbf\xbd\xef\xbf\xbd x"},
        {"Holder", "Holder"},
    };
    for (const auto& [name, shown] : shownAs) {
        if (name != "Holder") {
            std::ofstream(Entry(name)) << "not a record";
        }
    }
    const auto [status, json] = Run({"list", "--json"});
    ASSERT_EQ(status, 0) << json;
    std::map<std::string, std::string> listed;
    for (const auto& entry : nlohmann::json::parse(json)) {
        std::string bytes;
        const std::string hex = entry["nameHex"];
        for (std::size_t at = 0; at + 1 < hex.size(); at += 2) {
            bytes += static_cast<char>(std::stoi(hex.substr(at, 2), nullptr, 16));
        }
        listed[bytes] = entry["name"];
    }
    EXPECT_EQ(listed, shownAs);

    const auto [shownStatus, shown] = Run({"show", "caf\xe9", "--json"});
    EXPECT_EQ(shownStatus, 1) << "damaged";
    const auto object = nlohmann::json::parse(shown);
    EXPECT_EQ(object["nameHex"], "636166e9");
    EXPECT_EQ(object["state"], "damaged");
    EXPECT_EQ(Run({"list"}).first, 0);
}

// Whether the process sleeps with an inotify instance open: a waiter that has
// looked and now watches.
bool AsleepWatching(pid_t pid) {
    const std::string process = "/proc/" + std::to_string(pid);
    std::ifstream stat(process + "/stat");
    std::string field;
    stat >> field >> field >> field;  // pid, (name), state
    std::error_code ignored;
    for (const auto& fd : std::filesystem::directory_iterator(process + "/fd", ignored)) {
        if (std::filesystem::read_symlink(fd.path(), ignored) == "anon_inode:inotify") {
            return field == "S";
        }
    }
    return false;
}

bool BecomesAsleepWatching(pid_t pid) {
    for (int tries = 0; tries < 500; ++tries) {
        if (AsleepWatching(pid)) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// A script or an operator ends a wait as any command: SIGTERM and SIGINT
// (Ctrl-C) end it at once by their default action. The tool links only the
// root directory's library, none of the service's signal blocking.
TEST_F(Rtroot, WaitEndsOnTerminationSignals) {
    for (const int signal : {SIGTERM, SIGINT}) {
        ServiceProcess waiter(Tool({"wait", "Nobody"}));
        ASSERT_TRUE(BecomesAsleepWatching(waiter.Pid())) << strsignal(signal);
        waiter.Signal(signal);
        EXPECT_EQ(waiter.WaitForExit(2s), -signal) << strsignal(signal);
    }
}

// A service manager removes runtime directories and makes them again on a
// restart: the waiter follows the directory, and waits for it while it is not
// there, without creating it.
TEST_F(Rtroot, WaitFollowsTheDirectoryWhereverItGoes) {
    struct Case {
        const char* what;
        bool rootBefore;
        std::function<void()> meanwhile;
    };
    const std::vector<Case> cases = {
        {"not there yet", false, [] {}},
        {"removed", true, [this] { std::filesystem::remove_all(RootPath()); }},
        {"renamed away", true,
         [this] { ASSERT_EQ(std::rename(RootPath().c_str(), (runtime_ / "old").c_str()), 0); }},
        {"removed with its parent, which comes back", true,
         [this] {
             std::filesystem::remove_all(runtime_.Path());
             std::this_thread::sleep_for(300ms);  // the waiter looks while nothing is there
             ASSERT_EQ(mkdir(runtime_.Path().c_str(), 0700), 0);
         }},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(RootPath());
        std::filesystem::remove_all(runtime_ / "old");
        if (c.rootBefore) {
            LeaveStaleService();
        }
        ServiceProcess waiter(Tool({"wait", "Zorvandelith", "--timeout", "20"}));
        ASSERT_TRUE(BecomesAsleepWatching(waiter.Pid())) << c.what;
        EXPECT_EQ(RootExists(), c.rootBefore) << c.what << ": the waiter created the directory";
        c.meanwhile();
        ServiceProcess service(e2e::InRuntimeDirectory(runtime_.Path()));
        ASSERT_TRUE(service.WaitForLine(kInitialized)) << c.what << ": " << service.Console();
        EXPECT_EQ(waiter.WaitForExit(5s), 0) << c.what;
        service.Signal(SIGTERM);
        EXPECT_EQ(service.WaitForExit(), 0) << c.what;
    }
}

// Runs the rest of its words in a user namespace of their own whose inotify
// limit `limit` is 0, so that the kernel refuses the tool a watch and no other
// process on the machine runs short. Only the namespace's root may set the
// limit, so the user is mapped to it; the directory and the tool's own user
// then read alike, both as root. Where /proc/sys is a read-only mount of its
// own (in a container), root makes it writable first, in a mount namespace of
// its own.
std::vector<std::string> WithoutInotify(const std::string& limit) {
    const std::string script =
        "if mountpoint -q /proc/sys; then mount -o remount,bind,rw /proc/sys || exit 125; fi; "
        "exec /usr/bin/unshare --user --map-root-user /bin/sh -c "
        "'echo 0 > /proc/sys/user/$0 && exec \"$@\"' \"$@\"";
    std::vector<std::string> through;
    if (geteuid() == 0) {
        through = {"/usr/bin/unshare", "--mount"};
    }
    through.insert(through.end(), {"/bin/sh", "-c", script, "sh", limit});
    return through;
}

// The kernel refuses a watch: the waiter answers from a look, and then looks
// at a bounded interval instead.
TEST_F(Rtroot, WaitDoesWithoutAWatchWhenTheKernelRefusesOne) {
    struct Case {
        const char* limit;
        const char* error;
        const char* later;  // a name that comes alive while the tool waits
    };
    const std::vector<Case> cases = {
        {"max_inotify_instances", "Too many open files (EMFILE)", "LaterWithoutInstances"},
        {"max_inotify_watches", "No space left on device (ENOSPC)", "LaterWithoutWatches"},
    };
    // A build chroot grants neither namespace the limit is set in (its root is
    // no mount point whose propagation can change, and a chrooted process
    // gets no user namespace): there the watch cannot be refused, and the test
    // says why. CI's other steps run it where the namespaces are granted.
    const auto [probed, refusal] = RunMerged({"--version"}, WithoutInotify(cases.front().limit));
    if (probed != 0) {
        GTEST_SKIP() << "cannot set an inotify limit in namespaces of its own here (status " << probed
                     << "): " << refusal;
    }
    ASSERT_EQ(hosted::RootDirectory::Open(RootPath(), holder_), hosted::ErrorCode::None);
    ASSERT_EQ(holder_->Catalog("Holder", 1, 7), hosted::ErrorCode::None);
    for (const Case& c : cases) {
        const std::vector<std::string> limited = WithoutInotify(c.limit);
        EXPECT_EQ(RunMerged({"wait", "Holder", "--timeout", "5"}, limited), std::make_pair(0, std::string()))
            << c.limit << ": a name that is live already needs no watch";

        ServiceProcess waiter(Merged({"wait", c.later, "--timeout", "20"}, limited));
        const std::string said = "rtroot: root directory " + RootPath() +
                                 ": cannot watch, looking every 200 ms instead: " + c.error;
        ASSERT_TRUE(waiter.WaitForLine(said)) << c.limit << ": " << waiter.Console();
        ASSERT_EQ(holder_->Catalog(c.later, 1, 8), hosted::ErrorCode::None);
        EXPECT_EQ(waiter.WaitForExit(5s), 0) << c.limit;
        EXPECT_EQ(waiter.Console(), said + "\n") << c.limit;
    }
}

// A path that ends in "/" or "." resolves through a symlink at its last
// component; it is refused like the symlink itself, and nothing in the
// symlink's target is touched.
TEST_F(Rtroot, ARootReachedThroughASymlinkIsRefusedWhateverItEndsIn) {
    const std::string target = runtime_ / "target";
    ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
    std::ofstream(target + "/Garbage") << "not a record";
    ASSERT_EQ(symlink(target.c_str(), RootPath().c_str()), 0);
    for (const std::string ending : {"", "/", "/.", "//", "/./", "/./."}) {
        for (const std::vector<std::string>& command : std::vector<std::vector<std::string>>{
                 {"list"}, {"clean"}, {"show", "Garbage"}, {"wait", "Garbage", "--timeout", "1"}}) {
            std::vector<std::string> arguments = {"--root", RootPath() + ending};
            arguments.insert(arguments.end(), command.begin(), command.end());
            const auto [status, said] = RunMerged(arguments);
            EXPECT_EQ(status, 69) << ending << " " << command[0];
            EXPECT_NE(said.find(": refused: a symlink or not a directory\n"), std::string::npos)
                << ending << " " << command[0] << ": " << said;
            EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << "said more than once: " << said;
        }
    }
    EXPECT_EQ(access((target + "/Garbage").c_str(), F_OK), 0) << "clean removed an entry through the symlink";
}

// A name no process could hold is bad usage, blamed on the name, and found
// before the root directory is looked at, made or refused.
TEST_F(Rtroot, ABadNameIsBadUsageAndTouchesNothing) {
    const std::map<std::string, std::string> shownAs = {
        {"", "\"\""},
        {"a/b", "\"a/b\""},
        {".x", "\".x\""},
        {"a\tb", "\"a\\x09b\""},
        {"a\x7f"
         "b",
         "\"a\\x7fb\""},
        {std::string(33, 'n'), "\"" + std::string(33, 'n') + "\""},
    };
    for (const bool unsafeRoot : {false, true}) {
        if (unsafeRoot) {
            ASSERT_TRUE(testsupport::MakeRootDirectory(RootPath()));
            ASSERT_EQ(chmod(RootPath().c_str(), 0777), 0);
        }
        for (const auto& [name, shown] : shownAs) {
            for (const char* command : {"show", "wait"}) {
                const auto [status, said] = RunMerged({command, name});
                EXPECT_EQ(status, 64) << command << " " << shown;
                EXPECT_EQ(said,
                          "rtroot: " + shown +
                              " is not a name: a name is 1 to 32 bytes, without '/' or control characters, "
                              "and does not begin with '.'\n")
                    << command << " " << shown;
            }
        }
        EXPECT_EQ(RootExists(), unsafeRoot) << "a bad name made the root directory";
    }
}

// No directory reads as an empty one, and looking creates nothing.
TEST_F(Rtroot, ListingNoDirectoryShowsAnEmptyOneAndCreatesNothing) {
    EXPECT_EQ(Run({"list"}), std::make_pair(0, std::string("NAME  STATE  TYPE  PID  AGE\n")));
    EXPECT_EQ(Run({"list", "--json"}), std::make_pair(0, std::string("[]\n")));
    EXPECT_EQ(Run({"clean"}), std::make_pair(0, std::string()));
    EXPECT_EQ(Run({"show", "Zorvandelith"}).first, 2);
    EXPECT_EQ(Run({"wait", "Zorvandelith", "--timeout", "0.2"}).first, 1);
    EXPECT_FALSE(RootExists());
}

// A listing that fails part way (here the kernel's directory read, made to
// fail by strace's fault injection) is a failure with the system's error,
// never a shorter list, and cleans nothing.
TEST_F(Rtroot, AListingThatFailsIsReportedNotShortened) {
    Populate();
    // LeakSanitizer cannot run under a tracer; in a sanitized build it is
    // turned off for the traced tool alone.
    const std::vector<std::string> failingRead = {
        "/bin/sh",
        "-c",
        "ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\" "
        "exec \"$@\"",
        "sh",
        "/usr/bin/strace",
        "-o",
        "/dev/null",
        "-e",
        "trace=getdents64",
        "-e",
        "inject=getdents64:error=EIO"};
    for (const std::vector<std::string>& command :
         std::vector<std::vector<std::string>>{{"list"}, {"list", "--json"}, {"clean"}}) {
        const auto [status, said] = RunMerged(command, failingRead);
        EXPECT_EQ(status, 69) << command.back() << ": " << said;
        EXPECT_EQ(said, "rtroot: root directory " + RootPath() + ": cannot list: Input/output error (EIO)\n")
            << command.back();
    }
    EXPECT_EQ(access(Entry("Zorvandelith").c_str(), F_OK), 0) << "a failed listing cleaned";
}

// A refusal is said once, in the kernel's words, whichever command met it.
TEST_F(Rtroot, EachRefusalIsSaidOnce) {
    ASSERT_TRUE(testsupport::MakeRootDirectory(RootPath()));
    ASSERT_EQ(chmod(RootPath().c_str(), 0777), 0);
    for (const std::vector<std::string>& command : std::vector<std::vector<std::string>>{
             {"list"}, {"list", "--json"}, {"show", "Zorvandelith"}, {"clean"}, {"wait", "Zorvandelith"}}) {
        EXPECT_EQ(RunMerged(command), std::make_pair(69, "rtroot: root directory " + RootPath() +
                                                             ": refused: writable by group or others\n"))
            << command.front();
    }
}

// Which root directory rtroot looks at when not told, as its first look at the
// file system shows: the service's own choice, which for root without a
// runtime directory of its own is the system service's where it is installed.
TEST_F(Rtroot, TheDefaultDirectoryIsTheServicesOrForRootTheSystemServices) {
    const std::string system = "/run/zorvandelith/rtroot";
    struct stat home {};
    const std::string ownDefault =
        geteuid() == 0 && lstat("/run/zorvandelith", &home) == 0 && S_ISDIR(home.st_mode)
            ? system
            : "/tmp/rtroot-" + std::to_string(geteuid());
    struct Case {
        const char* what;
        std::string runtime;  // XDG_RUNTIME_DIR, empty for unset
        std::vector<std::string> options;
        std::string looked;
    };
    const Case cases[] = {
        {"no runtime directory", "", {}, ownDefault},
        {"a relative runtime directory", "relative", {}, ownDefault},
        {"a runtime directory", runtime_.Path(), {}, RootPath()},
        {"--system", runtime_.Path(), {"--system"}, system},
        {"--root", "", {"--root", runtime_ / "other"}, runtime_ / "other"},
    };
    for (const Case& test : cases) {
        std::vector<std::string> arguments = test.options;
        arguments.emplace_back("list");
        auto options = Merged(arguments, {"/usr/bin/strace", "-o", "/dev/stdout", "-e", "trace=%file"});
        options.environment = {{"XDG_RUNTIME_DIR", test.runtime}, {"ASAN_OPTIONS", "detect_leaks=0"}};
        ServiceProcess tool(options);
        ASSERT_EQ(tool.WaitForExit(), 0) << test.what << ": " << tool.Console();
        // The first of the candidate directories that the tool looked at.
        const std::string& traced = tool.Console();
        std::string first;
        std::size_t at = std::string::npos;
        for (const std::string& candidate : {system, ownDefault, RootPath(), runtime_ / "other"}) {
            const std::size_t found = traced.find('"' + candidate + '"');
            if (found < at) {
                at = found;
                first = candidate;
            }
        }
        EXPECT_EQ(first, test.looked) << test.what << ": " << traced;
    }
}

// Root looks at another user's names as that user, and cleans there only when
// asked to with --as-owner; to anyone else the directory is refused, once.
TEST_F(Rtroot, RootSeesAnotherUsersNamesAndCleansThemOnlyWhenAsked) {
    if (geteuid() != 0) {
        const auto [status, said] = RunMerged({"--root", "/", "list"});
        EXPECT_EQ(status, 65) << said;
        EXPECT_EQ(said.rfind("rtroot: root directory /: refused: not a root directory: it holds ", 0), 0u)
            << said;
        return;
    }
    constexpr uid_t kOther = 65534;
    ASSERT_EQ(chown(runtime_.Path().c_str(), kOther, kOther), 0);
    // A coverage build's tool, once it has become the owner, cannot write its
    // profile beside the build; it writes it where anyone may, not on stderr.
    testsupport::TempDir profiles;
    ASSERT_EQ(chmod(profiles.Path().c_str(), 01777), 0);
    profiles_ = profiles.Path();
    ServiceProcess::Options asOther = e2e::InRuntimeDirectory(runtime_.Path());
    asOther.program = "/usr/bin/setpriv";
    asOther.arguments = {"--reuid=65534", "--regid=65534", "--clear-groups", ZORVANDELITH_BINARY};
    ServiceProcess holder(asOther);
    ASSERT_TRUE(holder.WaitForLine(kInitialized));
    std::ofstream(Entry("Garbage")) << "not a record";
    ASSERT_EQ(chown(Entry("Garbage").c_str(), kOther, kOther), 0);
    const std::string live = "Zorvandelith  live     process  " + std::to_string(holder.Pid());

    const auto [listed, table] = Run({"--root", RootPath(), "list"});
    EXPECT_EQ(listed, 0);
    EXPECT_NE(table.find("Garbage       damaged  -        -"), std::string::npos) << table;
    EXPECT_NE(table.find(live), std::string::npos) << table;
    EXPECT_EQ(Run({"--root", RootPath(), "show", "Zorvandelith"}).first, 0);
    EXPECT_EQ(Run({"--root", RootPath(), "wait", "Zorvandelith", "--timeout", "1"}).first, 0);
    EXPECT_EQ(
        RunMerged({"--root", RootPath(), "clean"}),
        std::make_pair(64, "rtroot: " + RootPath() +
                               ": belongs to user 65534, not root: clean it as that user with --as-owner, "
                               "or see first with --dry-run\n"));
    EXPECT_EQ(Run({"--root", RootPath(), "clean", "--dry-run", "Garbage"}),
              std::make_pair(0, std::string("would remove Garbage (damaged)\n")));
    EXPECT_EQ(access(Entry("Garbage").c_str(), F_OK), 0) << "cleaned without --as-owner";
    EXPECT_EQ(RunMerged({"--root", RootPath(), "clean", "--as-owner", "Garbage"}),
              std::make_pair(0, std::string("removed Garbage (damaged)\n")));
    EXPECT_NE(access(Entry("Garbage").c_str(), F_OK), 0);
    EXPECT_EQ(Run({"--root", RootPath(), "show", "Zorvandelith"}).first, 0) << "clean took the live name";

    holder.Signal(SIGTERM);
    EXPECT_EQ(holder.WaitForExit(), 0);
    for (const auto& file : std::filesystem::directory_iterator(RootPath())) {
        if (file.path().filename() != ".root-directory") {
            ADD_FAILURE() << "left behind: " << file.path();
        }
    }
}

}  // namespace

namespace {

// The service with its diagnostics on its console, so what it says of its
// directory is read in order with its lines.
ServiceProcess::Options SayingAll(const std::string& runtime) {
    auto options = e2e::InRuntimeDirectory(runtime);
    options.program = "/bin/sh";
    options.arguments = {"-c", "exec \"$@\" 2>&1", "sh", ZORVANDELITH_BINARY};
    return options;
}

// A holder in a PID namespace of its own (a container) records a process id
// that means nothing here: none is shown, and its death is seen all the same,
// through its entry's close.
TEST_F(Rtroot, AHolderInAnotherPidNamespaceShowsNoPidAndItsDeathIsSeen) {
    auto options = e2e::InRuntimeDirectory(runtime_.Path());
    options.program = "/usr/bin/unshare";
    options.arguments = {"--pid", "--fork", "--kill-child", ZORVANDELITH_BINARY};
    if (geteuid() != 0) {
        options.arguments.insert(options.arguments.begin(), {"--user", "--map-current-user"});
    }
    ServiceProcess holder(options);
    if (!holder.WaitForLine(kInitialized, 5s) && holder.Console().empty()) {
        GTEST_SKIP() << "needs a PID namespace, which this machine does not grant (a chroot, a container)";
    }
    ASSERT_EQ(holder.Console(), console::Lines({kStarted, kInitialized}));
    const auto [shown, json] = Run({"show", "Zorvandelith", "--json"});
    EXPECT_EQ(shown, 0) << json;
    EXPECT_TRUE(nlohmann::json::parse(json)["pid"].is_null()) << json;
    ServiceProcess waiter(Tool({"wait", "Zorvandelith", "--gone", "--timeout", "10"}));
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(waiter.Running());
    holder.Signal(SIGKILL);
    EXPECT_EQ(waiter.WaitForExit(), 0);
}

// Root given a directory of another user acts as that user, whatever the
// path's spelling, only where every directory on the way is that user's or
// root's and writable by nobody else; otherwise it refuses and names the
// directory, and never makes anything as root where another user chose the place.
TEST_F(Rtroot, RootActsAsTheOwnerOnlyWhereTheWayIsSafe) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: only root takes another user's identity";
    }
    constexpr uid_t kOwner = 65534;
    ASSERT_EQ(chmod(runtime_.Path().c_str(), 0755), 0);
    const auto directory = [&](const std::string& path, mode_t mode, uid_t owner) {
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path;
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
        ASSERT_EQ(chown(path.c_str(), owner, owner), 0);
    };
    directory(runtime_ / "user", 0700, kOwner);
    directory(runtime_ / "open", 0777, kOwner);
    directory(runtime_ / "open/user", 0700, kOwner);
    directory(runtime_ / "third", 0755, kOwner - 1);
    directory(runtime_ / "third/user", 0700, kOwner);
    directory(runtime_ / "roots", 0755, 0);
    ASSERT_EQ(symlink((runtime_ / "roots").c_str(), (runtime_ / "user/link").c_str()), 0);
    struct Case {
        std::string runtime;
        std::string said;   // the stderr line about whose directory it is
        const char* error;  // the error line, or nullptr where it registers
    };
    const std::string user = runtime_ / "user";
    const Case cases[] = {
        {user, user + "/rtroot: belongs to user 65534: this process acts as that user", nullptr},
        {user + "/", user + "//rtroot: belongs to user 65534: this process acts as that user", nullptr},
        {runtime_ / "open/user",
         runtime_ / "open/user/rtroot: refused: " + runtime_ / "open" +
             " is writable by group or others, so root will not act in it as user 65534",
         "Error nr=13 "},
        {runtime_ / "third/user",
         runtime_ / "third/user/rtroot: refused: " + runtime_ / "third" +
             " belongs to user 65533, so root will not act in it as user 65534",
         "Error nr=12 "},
        {user + "/link",
         user + "/link/rtroot: refused: " + user +
             " belongs to user 65534, so root will not act in it as root",
         "Error nr=12 "},
    };
    for (const Case& c : cases) {
        ServiceProcess service(SayingAll(c.runtime));
        if (c.error == nullptr) {
            ASSERT_TRUE(service.WaitForLine(kInitialized)) << c.runtime << ": " << service.Console();
            struct stat entry {};
            EXPECT_EQ(stat((user + "/rtroot/Zorvandelith").c_str(), &entry), 0);
            EXPECT_EQ(entry.st_uid, kOwner) << c.runtime;
            service.Signal(SIGTERM);
        }
        EXPECT_EQ(service.WaitForExit(), 0) << c.runtime;
        const std::string console = service.Console();
        EXPECT_NE(console.find("zorvandelith: root directory " + c.said + "\n"), std::string::npos)
            << c.runtime << ": " << console;
        if (c.error != nullptr) {
            EXPECT_NE(console.find(c.error), std::string::npos) << c.runtime << ": " << console;
        }
    }
    EXPECT_NE(access((runtime_ / "roots/rtroot").c_str(), F_OK), 0)
        << "root made a directory where a user led it";

    // Root's wait, started before the directory it is to be made in exists
    // (an init script before the service), acts as the owner once it appears.
    const std::string later = runtime_ / "later";
    ServiceProcess waiter(Merged({"--root", later + "/rtroot", "wait", "Zorvandelith", "--timeout", "20"}));
    std::this_thread::sleep_for(300ms);
    directory(later, 0700, kOwner);
    ServiceProcess service(SayingAll(later));
    ASSERT_TRUE(service.WaitForLine(kInitialized)) << service.Console();
    EXPECT_EQ(waiter.WaitForExit(), 0) << waiter.Console();
    service.Signal(SIGTERM);
    EXPECT_EQ(service.WaitForExit(), 0);
}

// An entry, or the whole directory, removed from under the holder (by hand,
// or by a cleaner of /tmp that ages files out) is put back at once; where a
// second instance took the name first, the holder ends in order.
TEST_F(Rtroot, AHolderPutsBackWhatIsRemovedFromUnderItOrEndsWhereAnotherTookTheName) {
    struct Case {
        const char* what;
        std::function<void()> remove;
        std::string said;
    };
    const Case cases[] = {
        {"entry", [this] { ASSERT_EQ(unlink(Entry("Zorvandelith").c_str()), 0); },
         "the entry of Zorvandelith was removed while this process held it: put back"},
        {"directory",
         [this] {
             std::error_code error;
             std::filesystem::remove_all(RootPath(), error);
             EXPECT_FALSE(error) << "the holder fought the removal: " << error.message();
         },
         "was removed while this process held names in it: made again"},
        {"directory renamed away",
         [this] { ASSERT_EQ(rename(RootPath().c_str(), (RootPath() + ".old").c_str()), 0); },
         "was removed while this process held names in it: made again"},
    };
    const std::string subject = "zorvandelith: root directory " + RootPath() + ": ";
    for (const Case& c : cases) {
        ServiceProcess holder(SayingAll(runtime_.Path()));
        ASSERT_TRUE(holder.WaitForLine(kInitialized)) << c.what << holder.Console();
        c.remove();
        EXPECT_TRUE(holder.WaitForLine(subject + c.said, 1s)) << c.what << ": " << holder.Console();
        // What the line says is true when it is read, not some time after.
        holder.Signal(SIGSTOP);
        const auto [shown, json] = Run({"show", "Zorvandelith", "--json"});
        holder.Signal(SIGCONT);
        EXPECT_EQ(shown, 0) << c.what << ": " << json;
        EXPECT_EQ(nlohmann::json::parse(json)["pid"], holder.Pid()) << c.what;
        ServiceProcess second(e2e::InRuntimeDirectory(runtime_.Path()));
        EXPECT_EQ(second.WaitForExit(), 0);
        EXPECT_NE(second.Console().find("Error nr=5 "), std::string::npos)
            << c.what << ": " << second.Console();
        holder.Signal(SIGTERM);
        EXPECT_EQ(holder.WaitForExit(), 0) << c.what;
        EXPECT_EQ(Run({"show", "Zorvandelith"}).first, 2) << c.what << ": the name stayed";
    }

    ServiceProcess holder(SayingAll(runtime_.Path()));
    ASSERT_TRUE(holder.WaitForLine(kInitialized));
    holder.Signal(SIGSTOP);  // it cannot look before the second instance is in
    ASSERT_EQ(unlink(Entry("Zorvandelith").c_str()), 0);
    ServiceProcess second(e2e::InRuntimeDirectory(runtime_.Path()));
    ASSERT_TRUE(second.WaitForLine(kInitialized)) << second.Console();
    holder.Signal(SIGCONT);
    EXPECT_EQ(holder.WaitForExit(2s), 0);
    EXPECT_EQ(
        holder.Console(),
        console::Lines({kStarted}) + testsupport::RealTimeRefused() + subject + "registered Zorvandelith\n" +
            console::Lines({kInitialized}) + subject +
            "the entry of Zorvandelith was removed while this process held it, and another holds the name "
            "now: ending\n" +
            console::Lines({kCleaningUp, kCleanedUp}));
    const auto [shown, json] = Run({"show", "Zorvandelith", "--json"});
    EXPECT_EQ(shown, 0) << json;
    EXPECT_EQ(nlohmann::json::parse(json)["pid"], second.Pid());
    second.Signal(SIGTERM);
    EXPECT_EQ(second.WaitForExit(), 0);
}

}  // namespace

namespace {

// The mark is what tells a root directory from any other: a crash at any
// instant of a start, or a removal under a holder, must not leave a directory
// that reads as a stranger's once something foreign appears in it.
TEST_F(Rtroot, AMarkCutShortOrRemovedIsMadeWhole) {
    const std::string subject = "zorvandelith: root directory " + RootPath() + ": ";
    for (const bool underHolder : {false, true}) {
        const std::string what = underHolder ? "removed under the holder" : "left empty by a crash";
        if (!underHolder) {
            ASSERT_EQ(mkdir(RootPath().c_str(), 0700), 0);
            std::ofstream(Entry(hosted::kRootDirectoryMark));
        }
        ServiceProcess holder(SayingAll(runtime_.Path()));
        ASSERT_TRUE(holder.WaitForLine(kInitialized)) << what << holder.Console();
        if (underHolder) {
            ASSERT_EQ(unlink(Entry(hosted::kRootDirectoryMark).c_str()), 0);
            EXPECT_TRUE(holder.WaitForLine(
                subject + "its mark was removed while this process held names in it: made again", 1s))
                << holder.Console();
        }
        std::ofstream(Entry("notes.txt")) << "not the kernel's\n";
        EXPECT_EQ(RunMerged({"show", "Zorvandelith"}).first, 0) << what;
        holder.Signal(SIGTERM);
        EXPECT_EQ(holder.WaitForExit(), 0) << what;
        std::filesystem::remove_all(RootPath());
    }
}

// A start that cannot write its entry while the name is free ends as the
// kernel says (its last failed call is the lookup: nr=6), and stderr names
// the host's refusal, which is where the fix lies.
TEST_F(Rtroot, AStartThatCannotWriteItsEntrySaysWhyOnStandardError) {
#ifdef ZORVANDELITH_SANITIZED
    GTEST_SKIP() << "a sanitizer's runtime writes files of its own, past a file-size limit of 0; the plain "
                    "builds run this";
#endif
    {
        ServiceProcess first(e2e::InRuntimeDirectory(runtime_.Path()));  // the directory and its mark
        ASSERT_TRUE(first.WaitForLine(kInitialized));
        first.Signal(SIGTERM);
        ASSERT_EQ(first.WaitForExit(), 0);
    }
    auto options = SayingAll(runtime_.Path());
    options.arguments[1] = "ulimit -f 0 && exec \"$@\" 2>&1";
    ServiceProcess start(options);
    EXPECT_EQ(start.WaitForExit(), 0);
    const std::string subject = "zorvandelith: root directory " + RootPath() + ": ";
    EXPECT_EQ(start.Console(), console::Lines({kStarted}) + testsupport::RealTimeRefused() + subject +
                                   "cannot write entry: File too large (EFBIG)\n" +
                                   "Cannot catalog process name\nError nr=6 Name not found\n" +
                                   console::Lines({kCleaningUp, kCleanedUp}));
}

// An answer that depends on the directory names it, and says when it does not
// exist, so that a typo in XDG_RUNTIME_DIR or a look in the wrong user's
// directory is plain; a script's jq gets an object even for an absent name.
TEST_F(Rtroot, AnswersThatDependOnTheDirectoryNameIt) {
    const std::string missing = runtime_ / "typo";
    ASSERT_EQ(hosted::RootDirectory::Open(RootPath(), holder_), hosted::ErrorCode::None);
    struct Case {
        std::vector<std::string> command;
        int status;
        std::string said;
    };
    const Case cases[] = {
        {{"show", "Nobody"}, 2, "rtroot: Nobody: no such name in " + RootPath() + "\n"},
        {{"--root", missing, "show", "Nobody"},
         2,
         "rtroot: Nobody: no such name: " + missing + " does not exist\n"},
        {{"list"}, 0, "NAME  STATE  TYPE  PID  AGE\nrtroot: no names in " + RootPath() + "\n"},
        {{"--root", missing, "list", "--json"}, 0, "[]\nrtroot: no names: " + missing + " does not exist\n"},
        {{"wait", "Nobody", "--timeout", "0"},
         1,
         "rtroot: Nobody: not live in " + RootPath() + " within the time\n"},
        {{"wait", "Nobody", "--pid", "1", "--timeout", "0"},
         1,
         "rtroot: Nobody: not held by process 1 in " + RootPath() + " within the time\n"},
        {{"wait", "Nobody", "--gone", "--timeout", "0"}, 0, ""},
        {{"clean", "Nobody"}, 1, "rtroot: Nobody: no such name in " + RootPath() + "\n"},
        {{"--root", missing, "clean"}, 0, "rtroot: nothing to clean: " + missing + " does not exist\n"},
        {{"wait", "Nobody", "--pid", "0"}, 64, "rtroot: --pid takes a process id, a whole number above 0\n"},
        {{"list", "--gone"}, 64, "rtroot: option does not go with this command\n"},
        {{"list", "--dry-run"}, 64, "rtroot: option does not go with this command\n"},
    };
    for (const Case& c : cases) {
        auto [status, said] = RunMerged(c.command);
        // Usage follows a usage error; its first line is what is asserted.
        if (status == 64) {
            said = said.substr(0, said.find('\n') + 1);
        }
        EXPECT_EQ(std::make_pair(status, said), std::make_pair(c.status, c.said)) << c.command.front();
    }
    const auto [shown, json] = Run({"show", "Nobody", "--json"});
    EXPECT_EQ(shown, 2);
    const nlohmann::json absent = nlohmann::json::parse(json);
    EXPECT_EQ(absent["state"], "absent");
    EXPECT_EQ(absent["nameHex"], "4e6f626f6479");
    EXPECT_TRUE(absent["pid"].is_null());
    // A wait for a process to hold the name ends with that process.
    const pid_t awaited = fork();
    ASSERT_GE(awaited, 0);
    if (awaited == 0) {
        pause();
        _exit(0);
    }
    ServiceProcess waiter(Merged({"wait", "Nobody", "--pid", std::to_string(awaited)}));
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(waiter.Running());
    kill(awaited, SIGKILL);
    waitpid(awaited, nullptr, 0);
    EXPECT_EQ(waiter.WaitForExit(5s), 1);
    EXPECT_EQ(waiter.Console(), "rtroot: Nobody: process " + std::to_string(awaited) +
                                    " ended without holding it in " + RootPath() + "\n");
    // -h is --help, which names the directory this user's default is.
    const auto [helped, help] = Run({"-h"});
    EXPECT_EQ(helped, 0);
    EXPECT_NE(help.find("Default root directory here: " + RootPath() + "\n"), std::string::npos) << help;
}

}  // namespace
