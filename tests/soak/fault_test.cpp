// Faults and load the service must survive: kills at any moment, crowds racing
// for the name, signal storms and root directories that are unsafe or damaged.
// Every loop is bounded in count and time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
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
namespace fs = std::filesystem;

class Faults : public testing::Test {
protected:
    ServiceProcess::Options Options() const { return e2e::InRuntimeDirectory(runtime_.Path()); }
    std::string RootPath() const { return runtime_ / "rtroot"; }

    // Names, kinds and contents of everything in the root directory.
    std::map<std::string, std::string> Snapshot(const std::string& directory) const {
        std::map<std::string, std::string> files;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(directory, error)) {
            std::ifstream in(entry.path(), std::ios::binary);
            files[entry.path().filename()] = std::string(std::istreambuf_iterator<char>(in), {}) +
                                             (entry.is_symlink() ? " (symlink)" : "");
        }
        return files;
    }

    testsupport::TempDir runtime_;
};

TEST_F(Faults, KilledAtRandomMomentsNothingIsStuckAndTheNextKeepsTheName) {
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> delayUs(0, 20000);
    for (int start = 0; start < 200; ++start) {
        ServiceProcess victim(Options());
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
        victim.Signal(SIGKILL);
        ASSERT_EQ(victim.WaitForExit(std::chrono::seconds(5)), -SIGKILL) << "start " << start;
    }
    ServiceProcess survivor(Options());
    ASSERT_TRUE(survivor.WaitForLine(kInitialized)) << survivor.Console();
    for (const auto& [name, contents] : Snapshot(RootPath())) {
        EXPECT_TRUE(name == "Zorvandelith" || name == ".root-directory") << "left behind: " << name;
    }
    survivor.Signal(SIGTERM);
    EXPECT_EQ(survivor.WaitForExit(), 0);
    auto left = Snapshot(RootPath());
    EXPECT_EQ(left.erase(".root-directory"), 1u) << "the directory lost its mark";
    EXPECT_TRUE(left.empty());
}

TEST_F(Faults, OfManyStartedAtOnceExactlyOneKeepsTheName) {
    constexpr int kInstances = 16;
    const std::regex lost(std::string(kStarted) + "\nCannot catalog process name\nError nr=[567] [^\n]+\n" +
                          kCleaningUp + "\n" + kCleanedUp + "\n");
    for (int round = 0; round < 20; ++round) {
        std::vector<std::unique_ptr<ServiceProcess>> crowd;
        for (int i = 0; i < kInstances; ++i) {
            crowd.push_back(std::make_unique<ServiceProcess>(Options()));
        }
        std::vector<ServiceProcess*> winners;
        for (auto& instance : crowd) {
            if (instance->WaitForLine(kInitialized, std::chrono::seconds(10))) {
                winners.push_back(instance.get());
            } else {
                EXPECT_EQ(instance->WaitForExit(), 0) << "round " << round;
                EXPECT_TRUE(std::regex_match(instance->Console(), lost)) << instance->Console();
            }
        }
        ASSERT_EQ(winners.size(), 1u) << "round " << round;
        // Alternate orderly ends with kills, so the next round races for a free
        // name and then for a stale one.
        winners[0]->Signal(round % 2 == 0 ? SIGTERM : SIGKILL);
        EXPECT_EQ(winners[0]->WaitForExit(), round % 2 == 0 ? 0 : -SIGKILL);
    }
}

TEST_F(Faults, SignalStormsEndInExactlyOneOrderlyShutdown) {
    for (const bool terminationStorm : {false, true}) {
        ServiceProcess service(Options());
        ASSERT_TRUE(service.WaitForLine(kInitialized));
        const int ignored[] = {SIGHUP, SIGUSR1, SIGUSR2};
        for (int i = 0; i < 1000; ++i) {
            service.Signal(ignored[i % 3]);
        }
        EXPECT_TRUE(service.Running());
        for (int i = 0; i < (terminationStorm ? 50 : 1); ++i) {
            service.Signal(i % 2 == 0 ? SIGTERM : SIGINT);
        }
        EXPECT_EQ(service.WaitForExit(), 0);
        EXPECT_EQ(service.Console(), Lines({kStarted, kInitialized, kCleaningUp, kCleanedUp}));
    }
}

struct BadRoot {
    const char* name;
    std::function<void(const std::string& root, const std::string& elsewhere)> make;
    std::optional<std::string> errorLine;  // none: the service starts and replaces what it finds
    bool needsRoot;
    bool needsNonRoot;
};

void PrintTo(const BadRoot& bad, std::ostream* out) {
    *out << bad.name;
}

class BadRootDirectory : public Faults, public testing::WithParamInterface<BadRoot> {};

TEST_P(BadRootDirectory, ClearErrorExitZeroAndNothingElseTouched) {
    const BadRoot& bad = GetParam();
    if ((bad.needsRoot && geteuid() != 0) || (bad.needsNonRoot && geteuid() == 0)) {
        GTEST_SKIP() << "needs to run " << (bad.needsRoot ? "as root" : "as another user than root");
    }
    testsupport::TempDir elsewhere;
    std::ofstream(elsewhere / "precious") << "keep me";
    bad.make(RootPath(), elsewhere.Path());
    const auto rootBefore = Snapshot(RootPath());
    const auto elsewhereBefore = Snapshot(elsewhere.Path());

    ServiceProcess service(Options());
    if (bad.errorLine) {
        EXPECT_EQ(service.WaitForExit(), 0);
        EXPECT_EQ(service.Console(), Lines({kStarted, "Cannot catalog process name", bad.errorLine->c_str(),
                                            kCleaningUp, kCleanedUp}));
        EXPECT_EQ(Snapshot(RootPath()), rootBefore);
    } else {
        ASSERT_TRUE(service.WaitForLine(kInitialized)) << service.Console();
        service.Signal(SIGTERM);
        EXPECT_EQ(service.WaitForExit(), 0);
        auto expected = rootBefore;
        expected.erase("Zorvandelith");  // its own name, stale, replaced and then removed
        EXPECT_EQ(Snapshot(RootPath()), expected);
    }
    EXPECT_EQ(Snapshot(elsewhere.Path()), elsewhereBefore);
}

void WriteFile(const std::string& path, const std::string& contents) {
    std::ofstream(path) << contents;
}

void MakeRoot(const std::string& root, mode_t mode) {
    testsupport::MakeRootDirectory(root);
    chmod(root.c_str(), mode);
}

// A root directory with a garbage entry under the service's name beside other
// entries that are not the service's.
std::function<void(const std::string&, const std::string&)> RootWithEntry(const std::string& contents) {
    return [contents](const std::string& root, const std::string&) {
        MakeRoot(root, 0700);
        WriteFile(root + "/Zorvandelith", contents);
        WriteFile(root + "/Other", "rtentry 1 type=2 object=1 pid=1\n");
        WriteFile(root + "/Junk", "\x01\x02 junk");
    };
}

// The directory and the entries dated past January 2038, which a 32-bit
// time_t cannot hold, the entry at the service's name stale.
void RootDatedAfter2038(const std::string& root, const std::string& elsewhere) {
    RootWithEntry("rtentry 1 type=2 object=1 pid=1\n")(root, elsewhere);
    const timespec in2040[2] = {{2'208'988'800, 0}, {2'208'988'800, 0}};  // 2040-01-01 00:00 UTC
    for (const char* name : {"/Zorvandelith", "/Other", "/Junk", ""}) {
        utimensat(AT_FDCWD, (root + name).c_str(), in2040, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadRootDirectory,
    testing::Values(
        BadRoot{"Symlink",
                [](const std::string& root, const std::string& elsewhere) {
                    symlink(elsewhere.c_str(), root.c_str());
                },
                "Error nr=11 Root directory is a symlink or not a directory", false, false},
        BadRoot{"RegularFile",
                [](const std::string& root, const std::string&) { WriteFile(root, "not a dir"); },
                "Error nr=11 Root directory is a symlink or not a directory", false, false},
        BadRoot{"WritableByOthers", [](const std::string& root, const std::string&) { MakeRoot(root, 0777); },
                "Error nr=13 Root directory is writable by group or others", false, false},
        BadRoot{"WritableByGroup", [](const std::string& root, const std::string&) { MakeRoot(root, 0770); },
                "Error nr=13 Root directory is writable by group or others", false, false},
        BadRoot{"OwnedByAnotherUser",
                [](const std::string& root, const std::string&) {
                    MakeRoot(root, 0700);
                    chown(root.c_str(), 65534, 65534);
                },
                "Error nr=12 Root directory is owned by another user", true, false},
        BadRoot{"CannotBeWritten", [](const std::string& root, const std::string&) { MakeRoot(root, 0500); },
                "Error nr=14 Root directory cannot be written", false, true},
        // A folder of the user's where the root directory should be: none of it is touched.
        BadRoot{"AnOrdinaryFolder",
                [](const std::string& root, const std::string&) {
                    mkdir(root.c_str(), 0700);
                    WriteFile(root + "/notes.txt", "mine");
                    EXPECT_EQ(symlink("notes.txt", (root + "/Zorvandelith").c_str()), 0);
                },
                "Error nr=19 Directory is not a root directory", false, false},
        BadRoot{"TruncatedEntry", RootWithEntry("rtentry 1 ty"), std::nullopt, false, false},
        BadRoot{"GarbageEntry", RootWithEntry(std::string("\0\xff\xfe garbage \n\n", 14)), std::nullopt,
                false, false},
        BadRoot{"EmptyEntry", RootWithEntry(""), std::nullopt, false, false},
        BadRoot{"DatedAfter2038", RootDatedAfter2038, std::nullopt, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
