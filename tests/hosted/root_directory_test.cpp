#include "rtkernel/hosted/root/directory.h"
#include "rtkernel/hosted/root/identity.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <iostream>
#include <thread>

#include "tests/support/as_nobody.h"
#include "tests/support/child.h"
#include "tests/support/emulation.h"
#include "tests/support/temp_dir.h"

namespace {

using hosted::ErrorCode;
using hosted::RootDirectory;
using hosted::RootEntry;
using testsupport::ForkChild;
using testsupport::Gate;
using testsupport::TempDir;
using testsupport::WaitChild;

constexpr std::uint16_t kProcessType = 2;

ErrorCode Uncatalog(RootDirectory& root, const char* name) {
    hosted::FileId removed;
    return root.Uncatalog(name, removed);
}

class RootDirectoryTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(RootDirectory::Open(Root(), root_), ErrorCode::None); }
    std::string Root() const { return temp_ / "rtroot"; }
    std::string Entry(const std::string& name) const { return Root() + "/" + name; }

    std::uint16_t TypeOf(const char* name) {
        std::shared_ptr<RootEntry> entry;
        EXPECT_EQ(root_->Lookup(name, 0, entry), ErrorCode::None) << name;
        return entry ? entry->LiveType() : 0xDEAD;
    }

    // Catalogs the name from a child process that then holds it until the gate opens.
    pid_t HoldInChild(const char* name, Gate& release) {
        Gate catalogued;
        const pid_t child = ForkChild([&] {
            std::unique_ptr<RootDirectory> own;
            if (RootDirectory::Open(Root(), own) != ErrorCode::None ||
                own->Catalog(name, 2, 7) != ErrorCode::None) {
                return 1;
            }
            catalogued.Open();
            release.Wait();
            return 0;
        });
        catalogued.Wait();
        return child;
    }

    // Leaves an entry behind as a process killed while holding it would.
    void LeaveStaleEntry(const char* name) {
        Gate never;
        const pid_t child = HoldInChild(name, never);
        kill(child, SIGKILL);
        EXPECT_EQ(WaitChild(child), -SIGKILL);
    }

    TempDir temp_;
    std::unique_ptr<RootDirectory> root_;
};

TEST_F(RootDirectoryTest, CreatesAPrivateDirectory) {
    struct stat status {};
    ASSERT_EQ(stat(Root().c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0700u);
}

TEST_F(RootDirectoryTest, CatalogLookupUncatalogOwnName) {
    EXPECT_EQ(root_->Catalog("Zorvandelith", kProcessType, 1), ErrorCode::None);
    EXPECT_EQ(TypeOf("Zorvandelith"), kProcessType);
    EXPECT_EQ(root_->Catalog("Zorvandelith", kProcessType, 1), ErrorCode::NameTaken);
    EXPECT_EQ(Uncatalog(*root_, "Zorvandelith"), ErrorCode::None);
    std::shared_ptr<RootEntry> entry;
    EXPECT_EQ(root_->Lookup("Zorvandelith", 0, entry), ErrorCode::NameNotFound);
    EXPECT_EQ(Uncatalog(*root_, "Zorvandelith"), ErrorCode::NameNotFound);
    EXPECT_EQ(root_->Catalog("Zorvandelith", kProcessType, 1), ErrorCode::None);
}

TEST_F(RootDirectoryTest, BadNamesAreRefusedByEveryCall) {
    std::shared_ptr<RootEntry> entry;
    for (const char* name : {"", "a/b", "..", ".", "ctl\x01", "0123456789012345678901234567890123"}) {
        EXPECT_EQ(root_->Catalog(name, kProcessType, 1), ErrorCode::BadName) << name;
        EXPECT_EQ(root_->Lookup(name, 0, entry), ErrorCode::BadName) << name;
        EXPECT_EQ(Uncatalog(*root_, name), ErrorCode::BadName) << name;
    }
}

TEST_F(RootDirectoryTest, AnotherProcessesLiveNameIsNeitherTakenNorRemoved) {
    Gate release;
    const pid_t holder = HoldInChild("Zorvandelith", release);

    EXPECT_EQ(TypeOf("Zorvandelith"), kProcessType);
    EXPECT_EQ(root_->Catalog("Zorvandelith", kProcessType, 1), ErrorCode::NameTaken);
    EXPECT_EQ(Uncatalog(*root_, "Zorvandelith"), ErrorCode::NotOwner);
    EXPECT_EQ(access(Entry("Zorvandelith").c_str(), F_OK), 0);

    release.Open();
    EXPECT_EQ(WaitChild(holder), 0);
    EXPECT_EQ(TypeOf("Zorvandelith"), 0) << "the holder has exited";
}

TEST_F(RootDirectoryTest, OutOfDescriptorsIsAFailureNotAStaleEntry) {
    ASSERT_EQ(root_->Catalog("Zorvandelith", kProcessType, 1), ErrorCode::None);
    const pid_t child = ForkChild([&] {
        const rlimit few = {32, 32};
        setrlimit(RLIMIT_NOFILE, &few);
        while (dup(0) >= 0) {
        }
        std::shared_ptr<RootEntry> entry;
        return root_->Lookup("Zorvandelith", 0, entry) == ErrorCode::HostFailure ? 0 : 1;
    });
    EXPECT_EQ(WaitChild(child), 0);
    // With one descriptor left, the directory opens and its mark cannot: a
    // failure to look, not a directory that is no root directory.
    const pid_t opener = ForkChild([&] {
        const rlimit few = {32, 32};
        setrlimit(RLIMIT_NOFILE, &few);
        int last = -1;
        for (int fd; (fd = dup(0)) >= 0;) {
            last = fd;
        }
        close(last);
        std::unique_ptr<RootDirectory> opened;
        return RootDirectory::OpenExisting(root_->Path(), opened) == ErrorCode::RootUnavailable ? 0 : 1;
    });
    EXPECT_EQ(WaitChild(opener), 0);
    EXPECT_EQ(TypeOf("Zorvandelith"), kProcessType);
}

TEST_F(RootDirectoryTest, EntryOfAKilledOwnerReadsStaleAndIsReplaced) {
    LeaveStaleEntry("Zorvandelith");
    std::shared_ptr<RootEntry> stale;
    ASSERT_EQ(root_->Lookup("Zorvandelith", 0, stale), ErrorCode::None);
    EXPECT_EQ(stale->LiveType(), 0);
    EXPECT_EQ(Uncatalog(*root_, "Zorvandelith"), ErrorCode::None);
    EXPECT_EQ(root_->Catalog("Zorvandelith", kProcessType, 1), ErrorCode::None);
    EXPECT_EQ(TypeOf("Zorvandelith"), kProcessType);
    EXPECT_EQ(stale->LiveType(), 0) << "a handle keeps naming the old entry";
}

// Times past January 2038 do not fit a 32-bit time_t: a build without 64-bit
// times fails every stat of such a directory or entry with EOVERFLOW.
TEST_F(RootDirectoryTest, DatesAfter2038OnTheDirectoryAndAStaleEntryAreOrdinary) {
    LeaveStaleEntry("Zorvandelith");
    const timespec in2040[2] = {{2'208'988'800, 0}, {2'208'988'800, 0}};  // 2040-01-01 00:00 UTC
    ASSERT_EQ(utimensat(AT_FDCWD, Entry("Zorvandelith").c_str(), in2040, 0), 0);
    ASSERT_EQ(utimensat(AT_FDCWD, Root().c_str(), in2040, 0), 0);

    std::unique_ptr<RootDirectory> reopened;
    ASSERT_EQ(RootDirectory::Open(Root(), reopened), ErrorCode::None);
    std::shared_ptr<RootEntry> stale;
    ASSERT_EQ(reopened->Lookup("Zorvandelith", 0, stale), ErrorCode::None);
    EXPECT_EQ(stale->LiveType(), 0);
    EXPECT_EQ(Uncatalog(*reopened, "Zorvandelith"), ErrorCode::None);
    EXPECT_EQ(reopened->Catalog("Zorvandelith", kProcessType, 1), ErrorCode::None);
    EXPECT_EQ(TypeOf("Zorvandelith"), kProcessType);
}

// Each racer runs the whole claim: catalog, and on a stale entry remove and catalog again.
// The directory stays open in `root` so that a winner keeps holding the name.
int ClaimOnce(const std::string& path, std::unique_ptr<RootDirectory>& root) {
    if (RootDirectory::Open(path, root) != ErrorCode::None) {
        return 2;
    }
    if (root->Catalog("Zorvandelith", kProcessType, 1) == ErrorCode::None) {
        return 0;
    }
    std::shared_ptr<RootEntry> entry;
    if (root->Lookup("Zorvandelith", 0, entry) != ErrorCode::None || entry->LiveType() != 0 ||
        Uncatalog(*root, "Zorvandelith") != ErrorCode::None) {
        return 1;
    }
    return root->Catalog("Zorvandelith", kProcessType, 1) == ErrorCode::None ? 0 : 1;
}

TEST_F(RootDirectoryTest, ExactlyOneOfManyRacersWinsAFreeOrStaleName) {
    constexpr int kRacers = 12;
    for (const bool stale : {false, true, true}) {
        unlink(Entry("Zorvandelith").c_str());
        if (stale) {
            LeaveStaleEntry("Zorvandelith");
        }
        Gate start;
        Gate finish;
        int results[2];
        ASSERT_EQ(pipe(results), 0);
        std::vector<pid_t> racers;
        for (int i = 0; i < kRacers; ++i) {
            racers.push_back(ForkChild([&] {
                start.Wait();
                std::unique_ptr<RootDirectory> claimed;
                const char outcome = static_cast<char>('0' + ClaimOnce(Root(), claimed));
                const bool reported = write(results[1], &outcome, 1) == 1;
                close(results[1]);
                if (!reported) {
                    return 3;
                }
                finish.Wait();  // winners keep the name until every racer has tried
                return 0;
            }));
        }
        close(results[1]);
        start.Open();
        std::string outcomes;
        char outcome = 0;
        while (outcomes.size() < kRacers && read(results[0], &outcome, 1) == 1) {
            outcomes += outcome;
        }
        close(results[0]);
        finish.Open();
        for (const pid_t racer : racers) {
            WaitChild(racer);
        }
        EXPECT_EQ(outcomes.size(), static_cast<std::size_t>(kRacers));
        EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), '0'), 1)
            << outcomes << (stale ? " stale" : " free");
        EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), '2'), 0) << outcomes;
    }
}

TEST_F(RootDirectoryTest, CorruptEntriesReadStaleAndCanBeReplaced) {
    // An entry that cannot be read binds only an ordinary user: as root, the
    // test runs as nobody too, and then goes on here.
    std::string whyNot;
    if (testsupport::RunAsNobody(whyNot) == testsupport::AsNobody::Unable) {
        std::cout << "not run as nobody: " << whyNot << "\n";
    }
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;
        ErrorCode refused;  // why its removal is refused: what the user is told
    };
    auto write = [](const std::string& text) {
        return [text](const std::string& path) { std::ofstream(path, std::ios::binary) << text; };
    };
    const Case cases[] = {
        {"Empty", write(""), ErrorCode::NotKernelEntry},
        {"Truncated", write("rtentry 1 type=2 obj"), ErrorCode::NotKernelEntry},
        {"NoLineEnd", write("rtentry 1 type=2 object=1 pid=1"), ErrorCode::NotKernelEntry},
        {"Garbage", write(std::string("\x00\xff\x13garbage", 10)), ErrorCode::NotKernelEntry},
        {"TypeZero", write("rtentry 1 type=0 object=1 pid=1\n"), ErrorCode::NotKernelEntry},
        {"TypeTooLarge", write("rtentry 1 type=70000 object=1 pid=1\n"), ErrorCode::NotKernelEntry},
        {"Trailing", write("rtentry 1 type=2 object=1 pid=1\nmore"), ErrorCode::NotKernelEntry},
        {"Huge", write(std::string(1 << 20, 'x')), ErrorCode::NotKernelEntry},
        {"Symlink", [](const std::string& path) { ASSERT_EQ(symlink("/etc/passwd", path.c_str()), 0); },
         ErrorCode::NotKernelEntry},
        {"Fifo", [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); },
         ErrorCode::NotKernelEntry},
        {"Unreadable",
         [](const std::string& path) {
             std::ofstream(path) << "rtentry 1 type=2 object=1 pid=1\n";
             chmod(path.c_str(), 0);
         },
         ErrorCode::Unreadable},
    };
    for (const Case& c : cases) {
        c.make(Entry(c.name));
        // Not in this process's way: no kernel wrote it (or, for one that
        // cannot be read, none can tell), so it is not removed.
        if (std::string(c.name) != "Unreadable" || geteuid() != 0) {
            EXPECT_EQ(Uncatalog(*root_, c.name), c.refused) << c.name;
            struct stat left {};
            EXPECT_EQ(lstat(Entry(c.name).c_str(), &left), 0) << c.name;
        }
        // In the way of its own catalog, it is replaced as a stale entry is.
        EXPECT_EQ(root_->Catalog(c.name, kProcessType, 1), ErrorCode::NameTaken) << c.name;
        EXPECT_EQ(TypeOf(c.name), 0) << c.name;
        EXPECT_EQ(Uncatalog(*root_, c.name), ErrorCode::None) << c.name;
        EXPECT_EQ(root_->Catalog(c.name, kProcessType, 1), ErrorCode::None) << c.name;
    }
    EXPECT_EQ(access("/etc/passwd", F_OK), 0) << "a symlinked entry's target is never touched";
}

// An entry removed from under its holder, its name taken by another since, is
// no longer the holder's to remove: its removal leaves the new entry standing
// and says on stderr what happened.
TEST_F(RootDirectoryTest, RemovalLeavesTheEntryThatTookItsPlace) {
    ASSERT_EQ(root_->Catalog("Zorvandelith", kProcessType, 1), ErrorCode::None);
    ASSERT_EQ(unlink(Entry("Zorvandelith").c_str()), 0);
    std::unique_ptr<RootDirectory> other;
    ASSERT_EQ(RootDirectory::Open(Root(), other), ErrorCode::None);
    ASSERT_EQ(other->Catalog("Zorvandelith", kProcessType, 2), ErrorCode::None);

    testing::internal::CaptureStderr();
    EXPECT_EQ(Uncatalog(*root_, "Zorvandelith"), ErrorCode::None);
    const std::string diagnostics = testing::internal::GetCapturedStderr();
    EXPECT_NE(diagnostics.find("the entry of Zorvandelith was removed while this process held it"),
              std::string::npos)
        << diagnostics;
    EXPECT_EQ(TypeOf("Zorvandelith"), kProcessType) << "the other's entry was removed";
    EXPECT_EQ(Uncatalog(*other, "Zorvandelith"), ErrorCode::None);
}

// A file of another user is never a kernel entry here, whatever it holds:
// root, who could read and remove it, leaves it alone.
TEST_F(RootDirectoryTest, AFileOfAnotherUserIsNoEntryEvenForRoot) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: only root makes a file of another user";
    }
    std::ofstream(Entry("Zorvandelith")) << "rtentry 1 type=2 object=1 pid=1\n";
    ASSERT_EQ(chown(Entry("Zorvandelith").c_str(), testsupport::kNobody, testsupport::kNobody), 0);
    EXPECT_EQ(TypeOf("Zorvandelith"), 0);
    EXPECT_EQ(Uncatalog(*root_, "Zorvandelith"), ErrorCode::NotKernelEntry);
    EXPECT_EQ(access(Entry("Zorvandelith").c_str(), F_OK), 0);
}

TEST_F(RootDirectoryTest, ADirectoryInPlaceOfAnEntryIsLeftAlone) {
    ASSERT_EQ(mkdir(Entry("Zorvandelith").c_str(), 0700), 0);
    EXPECT_EQ(TypeOf("Zorvandelith"), 0);
    EXPECT_EQ(Uncatalog(*root_, "Zorvandelith"), ErrorCode::NotAnEntry);
    EXPECT_EQ(root_->Catalog("Zorvandelith", kProcessType, 1), ErrorCode::NameTaken);
}

TEST_F(RootDirectoryTest, LookupWaitsForANameWithoutSpinning) {
    std::shared_ptr<RootEntry> entry;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(root_->Lookup("Later", 60, entry), ErrorCode::NameNotFound);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(60));

    // A wait that spins would spend the whole delay on the processor, well past the budget.
    constexpr auto kDelay = std::chrono::milliseconds(50) * testsupport::kEmulationSlowdown;
    constexpr clock_t kBudget = CLOCKS_PER_SEC / 50 * testsupport::kEmulationSlowdown;
    std::thread cataloguer([this, kDelay] {
        std::this_thread::sleep_for(kDelay);
        std::unique_ptr<RootDirectory> other;
        if (RootDirectory::Open(Root(), other) == ErrorCode::None) {
            other->Catalog("Later", kProcessType, 3);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    // The waiting thread's own time: the cataloguer's opening and catalog are not the wait's.
    const auto waiterTime = [] {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return static_cast<clock_t>(now.tv_sec * CLOCKS_PER_SEC +
                                    now.tv_nsec / (1000000000L / CLOCKS_PER_SEC));
    };
    const clock_t cpuBefore = waiterTime();
    EXPECT_EQ(root_->Lookup("Later", kWaitForever, entry), ErrorCode::None);
    EXPECT_LT(waiterTime() - cpuBefore, kBudget) << "the wait used the processor";
    cataloguer.join();
}

TEST(RootDirectoryOpen, RefusesUnsafeDirectories) {
    TempDir temp;
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;
        ErrorCode expected;
    };
    const Case cases[] = {
        {"Symlink", [&](const std::string& p) { ASSERT_EQ(symlink(temp.Path().c_str(), p.c_str()), 0); },
         ErrorCode::RootNotDirectory},
        {"File", [](const std::string& p) { std::ofstream(p) << "x"; }, ErrorCode::RootNotDirectory},
        {"WorldWritable", [](const std::string& p) { mkdir(p.c_str(), 0700), chmod(p.c_str(), 0777); },
         ErrorCode::RootWritableByOthers},
        {"GroupWritable", [](const std::string& p) { mkdir(p.c_str(), 0700), chmod(p.c_str(), 0720); },
         ErrorCode::RootWritableByOthers},
        {"MissingParent", [](const std::string&) {}, ErrorCode::RootUnavailable},
    };
    for (const Case& c : cases) {
        const std::string path = std::string(c.name) == "MissingParent" ? temp / "no/such" : temp / c.name;
        c.make(path);
        std::unique_ptr<RootDirectory> root;
        EXPECT_EQ(RootDirectory::Open(path, root), c.expected) << c.name;
        EXPECT_FALSE(root) << c.name;
    }
    if (geteuid() == 0) {
        const std::string foreign = temp / "Foreign";
        ASSERT_EQ(mkdir(foreign.c_str(), 0700), 0);
        ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
        std::unique_ptr<RootDirectory> root;
        EXPECT_EQ(RootDirectory::Open(foreign, root), ErrorCode::RootNotOwned);
    }
}

TEST(RootDirectoryOpen, ADirectoryThatCannotBeWrittenIsRefusedForChangesAndSaysWhyButCanBeLookedInto) {
    RUN_AS_NOBODY_WHEN_ROOT();
    TempDir temp;
    ASSERT_EQ(mkdir((temp / "rtroot").c_str(), 0500), 0);
    std::unique_ptr<RootDirectory> root;
    testing::internal::CaptureStderr();
    EXPECT_EQ(RootDirectory::Open(temp / "rtroot", root), ErrorCode::RootNotWritable);
    const std::string diagnostics = testing::internal::GetCapturedStderr();
    EXPECT_NE(diagnostics.find(": root directory " + temp / "rtroot" + ": "), std::string::npos)
        << diagnostics;
    EXPECT_NE(diagnostics.find("Permission denied"), std::string::npos) << diagnostics;
    // Looking needs only read and search, so a read-only view can be looked into.
    EXPECT_EQ(RootDirectory::OpenExisting(temp / "rtroot", root), ErrorCode::None);
}

TEST(RootDirectoryOpen, ARefusalNamesThePathOnStandardError) {
    TempDir temp;
    ASSERT_EQ(mkdir((temp / "open").c_str(), 0700), 0);
    ASSERT_EQ(chmod((temp / "open").c_str(), 0777), 0);
    std::unique_ptr<RootDirectory> root;
    testing::internal::CaptureStderr();
    EXPECT_EQ(RootDirectory::Open(temp / "open", root), ErrorCode::RootWritableByOthers);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(": root directory " + temp / "open" +
                                                          ": refused: writable by group or others\n"),
              std::string::npos);
}

TEST_F(RootDirectoryTest, RacersForANameThatCannotHoldALockNeverBothWin) {
    for (int round = 0; round < 3; ++round) {
        unlink(Entry("Zorvandelith").c_str());
        ASSERT_EQ(mkfifo(Entry("Zorvandelith").c_str(), 0600), 0);
        Gate finish;
        int results[2];
        ASSERT_EQ(pipe(results), 0);
        std::vector<pid_t> racers;
        for (const unsigned pauseMs : {300u, 0u}) {
            racers.push_back(ForkChild([&, pauseMs] {
                // The slow one removes in the middle; the quick one arrives while it pauses.
                RootDirectory::PauseBeforeUnlink(pauseMs);
                if (pauseMs == 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
                std::unique_ptr<RootDirectory> claimed;
                const char outcome = static_cast<char>('0' + ClaimOnce(Root(), claimed));
                if (write(results[1], &outcome, 1) != 1) {
                    return 3;
                }
                finish.Wait();
                return 0;
            }));
        }
        close(results[1]);
        std::string outcomes;
        char outcome = 0;
        while (outcomes.size() < 2 && read(results[0], &outcome, 1) == 1) {
            outcomes += outcome;
        }
        close(results[0]);
        finish.Open();
        for (const pid_t racer : racers) {
            WaitChild(racer);
        }
        EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), '0'), 1)
            << "round " << round << ": " << outcomes;
    }
}

// Where the file system has no unnamed files, a work name stands in: one left
// by a process that died between creating and linking it is swept, and one a
// live creator is still at, under the name this process would pick first, is
// passed over for the next. Either way the entry gets its mode whatever the
// umask, so that a record another process must read is not left unreadable.
TEST_F(RootDirectoryTest, WorkFilesLeftByTheDeadNeitherBlockNorPileUp) {
    struct Case {
        const char* name;
        bool workNamesOnly;
        time_t age;  // of the file at the first work name, in seconds; 0: none there
        bool swept;
    };
    const Case cases[] = {
        {"unnamed", false, 0, false},
        {"abandoned work file in the way", true, 3600, true},
        {"work file in use in the way", true, 1, false},
    };
    for (const Case& c : cases) {
        RootDirectory::UseWorkNamesOnly(c.workNamesOnly);
        std::unique_ptr<RootDirectory> root;  // a new one picks the first work name again
        ASSERT_EQ(RootDirectory::Open(Root(), root), ErrorCode::None);
        const std::string inTheWay = Entry(".new-" + std::to_string(getpid()) + "-1");
        if (c.age != 0) {
            std::ofstream(inTheWay) << "rtentry 1 type=2 object=1 pid=1\n";
            const timespec then[2] = {{time(nullptr) - c.age, 0}, {time(nullptr) - c.age, 0}};
            ASSERT_EQ(utimensat(AT_FDCWD, inTheWay.c_str(), then, 0), 0);
        }
        const mode_t umaskBefore = umask(0277);
        EXPECT_EQ(root->Catalog("Zorvandelith", kProcessType, 1), ErrorCode::None) << c.name;
        umask(umaskBefore);
        EXPECT_EQ(TypeOf("Zorvandelith"), kProcessType) << c.name;
        struct stat entry {};
        EXPECT_EQ(lstat(Entry("Zorvandelith").c_str(), &entry), 0) << c.name;
        EXPECT_EQ(entry.st_mode & 07777, 0600u) << c.name;
        if (c.age != 0) {
            EXPECT_EQ(access(inTheWay.c_str(), F_OK) != 0, c.swept) << c.name;
            unlink(inTheWay.c_str());
        }
        EXPECT_EQ(Uncatalog(*root, "Zorvandelith"), ErrorCode::None) << c.name;
    }
    RootDirectory::UseWorkNamesOnly(false);
}

TEST(RootDirectoryOpen, DefaultPathFollowsTheRuntimeDirectory) {
    // Without a runtime directory of its own, root meets the system service
    // where its package made the service's home.
    struct stat home {};
    const std::string fallback =
        geteuid() == 0 && lstat(hosted::kSystemServiceHome, &home) == 0 && S_ISDIR(home.st_mode)
            ? std::string(hosted::kSystemServiceRoot)
            : "/tmp/rtroot-" + std::to_string(geteuid());
    setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
    EXPECT_EQ(hosted::DefaultRootPath(), "/run/user/4242/rtroot");
    setenv("XDG_RUNTIME_DIR", "relative/dir", 1);
    EXPECT_EQ(hosted::DefaultRootPath(), fallback);
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(hosted::DefaultRootPath(), fallback);
}

// A start whose link finds something ownerless in the way claims the name;
// a cleaner (another opening of the directory, as rtroot clean is) that
// removes that thing meanwhile costs the start nothing: its lookup is handed
// the vanished thing, and its one attempt takes the name. Unclaimed, the same
// thing goes to the cleaner only where it may take that kind.
TEST_F(RootDirectoryTest, ACleanerThatTakesWhatAStartClaimedCostsTheStartNothing) {
    struct Case {
        const char* name;
        std::function<void(const std::string&)> place;
    };
    const Case cases[] = {
        {"stale entry", [this](const std::string&) { LeaveStaleEntry("Claimed"); }},
        {"symlink", [](const std::string& path) { ASSERT_EQ(symlink("/nonexistent", path.c_str()), 0); }},
        {"fifo", [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }},
        {"damaged", [](const std::string& path) { std::ofstream(path) << "not an entry"; }},
    };
    std::unique_ptr<RootDirectory> cleaner;
    ASSERT_EQ(RootDirectory::Open(Root(), cleaner), ErrorCode::None);
    for (const Case& c : cases) {
        c.place(Entry("Claimed"));
        EXPECT_EQ(root_->Catalog("Claimed", kProcessType, 1), ErrorCode::NameTaken) << c.name;
        hosted::FileId removed;
        EXPECT_EQ(cleaner->Clean("Claimed", hosted::Ownerless::Anything, removed), ErrorCode::None) << c.name;
        EXPECT_EQ(TypeOf("Claimed"), 0) << c.name << ": the vanished thing";
        EXPECT_EQ(Uncatalog(*root_, "Claimed"), ErrorCode::None) << c.name;
        EXPECT_EQ(root_->Catalog("Claimed", kProcessType, 1), ErrorCode::None) << c.name;
        EXPECT_EQ(TypeOf("Claimed"), kProcessType) << c.name;
        EXPECT_EQ(Uncatalog(*cleaner, "Claimed"), ErrorCode::NotOwner) << c.name << ": the live entry went";
        EXPECT_EQ(Uncatalog(*root_, "Claimed"), ErrorCode::None) << c.name;

        c.place(Entry("Claimed"));  // no start claims it this time
        if (std::string(c.name) != "stale entry") {
            // Unasked, a cleaner takes only dead entries; named, anything ownerless.
            EXPECT_EQ(cleaner->Clean("Claimed", hosted::Ownerless::DeadEntriesOnly, removed),
                      ErrorCode::NotKernelEntry)
                << c.name;
        }
        EXPECT_EQ(cleaner->Clean("Claimed", hosted::Ownerless::Anything, removed), ErrorCode::None) << c.name;
        EXPECT_NE(access(Entry("Claimed").c_str(), F_OK), 0) << c.name;
    }
}

}  // namespace

namespace {

// A claimant's catalog after its removal meets rivals that each link an entry
// and die, one after another, as fast as the name is free: it removes each in
// turn and takes the name, since none of them lived.
TEST_F(RootDirectoryTest, AClaimantOutlastsRivalsThatEachLinkAndDieInTurn) {
    constexpr int kRivals = 3;
    LeaveStaleEntry("Contested");
    for (int i = 0; i < kRivals; ++i) {
        LeaveStaleEntry(("Rival" + std::to_string(i)).c_str());
    }
    EXPECT_EQ(root_->Catalog("Contested", kProcessType, 1), ErrorCode::NameTaken);
    Gate go;
    const pid_t rivals = ForkChild([&] {
        go.Wait();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        int linked = 0;
        while (linked < kRivals && std::chrono::steady_clock::now() < deadline) {
            if (link(Entry(("Rival" + std::to_string(linked)).c_str()).c_str(), Entry("Contested").c_str()) ==
                0) {
                ++linked;
            }
        }
        return linked;
    });
    go.Open();
    std::shared_ptr<RootEntry> found;
    ASSERT_EQ(root_->Lookup("Contested", 0, found), ErrorCode::None);
    EXPECT_EQ(found->LiveType(), 0);
    EXPECT_EQ(Uncatalog(*root_, "Contested"), ErrorCode::None);
    EXPECT_EQ(root_->Catalog("Contested", kProcessType, 1), ErrorCode::None);
    WaitChild(rivals);
    EXPECT_EQ(TypeOf("Contested"), kProcessType);
}

// Two starts find something ownerless at the name; one removes it and dies
// before it links its own entry. The other's single attempt (lookup, type,
// removal, catalog) still takes the name: nobody live holds it.
TEST_F(RootDirectoryTest, AClaimantWhoseRivalDiedAfterTheRemovalStillTakesTheName) {
    struct Case {
        const char* name;
        std::function<void(const std::string&)> place;
    };
    const Case cases[] = {
        {"stale entry", [this](const std::string&) { LeaveStaleEntry("Contested"); }},
        {"symlink", [](const std::string& path) { ASSERT_EQ(symlink("/nonexistent", path.c_str()), 0); }},
        {"damaged", [](const std::string& path) { std::ofstream(path) << "not an entry"; }},
    };
    for (const Case& c : cases) {
        c.place(Entry("Contested"));
        EXPECT_EQ(root_->Catalog("Contested", kProcessType, 1), ErrorCode::NameTaken) << c.name;
        const pid_t rival = ForkChild([this] {
            std::unique_ptr<RootDirectory> own;
            std::shared_ptr<RootEntry> found;
            hosted::FileId removed;
            const bool removedIt = RootDirectory::Open(Root(), own) == ErrorCode::None &&
                                   own->Catalog("Contested", kProcessType, 2) == ErrorCode::NameTaken &&
                                   own->Lookup("Contested", 0, found) == ErrorCode::None &&
                                   own->Uncatalog("Contested", removed) == ErrorCode::None;
            return removedIt ? 0 : 1;  // ends before its second catalog, as a kill there would
        });
        ASSERT_EQ(WaitChild(rival), 0) << c.name;
        EXPECT_EQ(TypeOf("Contested"), 0) << c.name;
        EXPECT_EQ(Uncatalog(*root_, "Contested"), ErrorCode::None) << c.name;
        EXPECT_EQ(root_->Catalog("Contested", kProcessType, 1), ErrorCode::None) << c.name;
        EXPECT_EQ(Uncatalog(*root_, "Contested"), ErrorCode::None) << c.name;
    }
}

}  // namespace
