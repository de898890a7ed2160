#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <thread>

#include "rtkernel/hosted/errors.h"
#include "rtkernel/hosted/kernel_state.h"
#include "rtkernel/kernel.h"
#include "rtkernel/runtime.h"
#include "tests/support/child.h"
#include "tests/support/temp_dir.h"

namespace {

using hosted::ErrorCode;

std::uint32_t Code(ErrorCode code) {
    return static_cast<std::uint32_t>(code);
}

int OpenDescriptors() {
    int count = 0;
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (readdir(fds) != nullptr) {
            ++count;
        }
        closedir(fds);
    }
    return count;
}

class KernelCalls : public testing::Test {
protected:
    void SetUp() override { setenv("XDG_RUNTIME_DIR", temp_.Path().c_str(), 1); }

    // The kernel opens its root directory once per process, so a test of the
    // root directory runs in a fresh run of this binary, made for this test
    // alone, whether ctest runs each test apart or the binary runs them all.
    void InFreshProcess(const std::function<void()>& body) {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        EXPECT_EXIT(
            {
                body();
                const bool failed = HasFailure();
                temp_.Remove();
                _exit(failed ? 1 : 0);
            },
            testing::ExitedWithCode(0), "");
    }

    testsupport::TempDir temp_;
};

TEST_F(KernelCalls, HandlesOfThreadsProcessesAndTheExitMailbox) {
    const Handle self = GetRtThreadHandles(1);
    const Handle root = GetRtThreadHandles(3);
    const Handle thread = GetRtThreadHandles(0);
    EXPECT_EQ(GetRtThreadHandles(0), thread);
    Handle other = kNoHandle;
    std::thread([&] { other = GetRtThreadHandles(0); }).join();
    EXPECT_EQ(std::set<Handle>({self, root, thread, other}).size(), 4u);
    EXPECT_EQ(GetRtHandleType(thread), 1);
    EXPECT_EQ(GetRtHandleType(self), 2);
    EXPECT_EQ(GetRtHandleType(root), 2);
    EXPECT_EQ(GetRtHandleType(other), 0) << "the thread has ended";
    EXPECT_EQ(GetRtHandleType(LookupRtHandle(0, kExitMailboxName, 0)), 3);
    EXPECT_EQ(GetRtThreadHandles(2), kBadHandle);
    EXPECT_EQ(GetLastRtError(), Code(ErrorCode::BadParameter));
}

TEST_F(KernelCalls, FailedCallsSetTheCallersLastErrorAndSuccessesLeaveIt) {
    struct Case {
        const char* call;
        std::function<bool()> fails;
        ErrorCode code;
    };
    const Case cases[] = {
        {"type of unknown handle", [] { return GetRtHandleType(0x7777) == 0; }, ErrorCode::BadHandle},
        {"type of bad handle", [] { return GetRtHandleType(kBadHandle) == 0; }, ErrorCode::BadHandle},
        {"catalog taken", [] { return !CatalogRtHandle(0, GetRtThreadHandles(1), kExitMailboxName); },
         ErrorCode::NameTaken},
        {"catalog bad name", [] { return !CatalogRtHandle(0, GetRtThreadHandles(1), "a/b"); },
         ErrorCode::BadName},
        {"catalog unknown object", [] { return !CatalogRtHandle(0, 0x7777, "Name"); }, ErrorCode::BadHandle},
        {"catalog in unknown process", [] { return !CatalogRtHandle(0x7777, GetRtThreadHandles(1), "N"); },
         ErrorCode::BadHandle},
        {"lookup missing", [] { return LookupRtHandle(0, "Missing", 0) == kBadHandle; },
         ErrorCode::NameNotFound},
        {"lookup null name", [] { return LookupRtHandle(0, nullptr, 0) == kBadHandle; }, ErrorCode::BadName},
        {"uncatalog missing", [] { return !UncatalogRtHandle(0, "Missing"); }, ErrorCode::NameNotFound},
        {"notify null buffer", [] { return !RtNotifyEvent(12, 0, nullptr); }, ErrorCode::BadParameter},
        {"delete unknown thread", [] { return !DeleteRtThread(0x7777); }, ErrorCode::BadHandle},
        {"delete a process as thread", [] { return !DeleteRtThread(GetRtThreadHandles(1)); },
         ErrorCode::WrongObjectType},
        {"delete a thread as memory", [] { return !DeleteRtMemoryHandle(GetRtThreadHandles(0)); },
         ErrorCode::WrongObjectType},
        {"free unknown region", [] { return FreeRtMemory(0x1000) == 0; }, ErrorCode::BadAddress},
        {"priority of root", [] { return !SetRtProcessMaxPriority(GetRtThreadHandles(3), 150); },
         ErrorCode::NotPermitted},
        {"exception selector",
         [] {
             std::uint8_t settings[8];
             return !GetRtExceptionHandlerInfo(1, settings);
         },
         ErrorCode::BadParameter},
        {"send to bad handle", [] { return !SendRtData(kBadHandle, "\xff\0\0\0", 4); }, ErrorCode::BadHandle},
        {"send to a thread", [] { return !SendRtData(GetRtThreadHandles(0), "\xff\0\0\0", 4); },
         ErrorCode::WrongObjectType},
        {"send other data",
         [] { return !SendRtData(LookupRtHandle(0, kExitMailboxName, 0), "\xfe\0\0\0", 4); },
         ErrorCode::BadMessage},
        {"send short data", [] { return !SendRtData(LookupRtHandle(0, kExitMailboxName, 0), "\xff", 1); },
         ErrorCode::BadMessage},
        {"send null", [] { return !SendRtData(LookupRtHandle(0, kExitMailboxName, 0), nullptr, 4); },
         ErrorCode::BadParameter},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(c.fails()) << c.call;
        EXPECT_EQ(GetLastRtError(), Code(c.code)) << c.call;
        EXPECT_TRUE(SetRtProcessMaxPriority(0, 150));
        EXPECT_EQ(GetLastRtError(), Code(c.code)) << "a success changed the last error after " << c.call;
    }
    std::uint32_t otherThreadsError = 0xFFFF;
    std::thread([&] { otherThreadsError = GetLastRtError(); }).join();
    EXPECT_EQ(otherThreadsError, 0u) << "last errors are per thread";
}

TEST_F(KernelCalls, NoTwoErrorCodesShareAText) {
    std::set<std::string> texts;
    for (std::uint32_t code = 0; code < 0x100; ++code) {
        const std::string text = GetRtErrorText(code);
        if (text != "Unknown error code") {
            EXPECT_TRUE(texts.insert(text).second) << text;
        }
    }
    EXPECT_STREQ(GetRtErrorText(0xDEADBEEF), "Unknown error code");
}

std::string ReadToEnd(int fd) {
    std::string all;
    char chunk[512];
    for (ssize_t length; (length = read(fd, chunk, sizeof chunk)) > 0;) {
        all.append(chunk, static_cast<std::size_t>(length));
    }
    close(fd);
    return all;
}

std::string Hex(Handle handle) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(handle));
    return text;
}

// What the shutdown deletes after its wait (a thread still running, one that
// ended without emptying its slot, a handle of another kind) is said at exit,
// in one line on stderr, in the order it came; the console keeps its lines.
TEST_F(KernelCalls, ThreadsDeletedAtShutdownAreNamedInOneLineAtExit) {
    InFreshProcess([] {
        int console[2];
        int diagnostics[2];
        ASSERT_EQ(pipe(console), 0);
        ASSERT_EQ(pipe(diagnostics), 0);
        struct Deleted {
            pid_t runningThread = 0;
            Handle running = kNoHandle;
            Handle ended = kNoHandle;
            Handle process = kNoHandle;
            bool results[3] = {};
        };
        auto* deleted = static_cast<Deleted*>(
            mmap(nullptr, sizeof(Deleted), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
        ASSERT_NE(deleted, MAP_FAILED);
        std::fflush(nullptr);  // the child's exit flushes what it inherits
        const pid_t child = testsupport::ForkChild([&]() -> int {
            dup2(console[1], STDOUT_FILENO);
            dup2(diagnostics[1], STDERR_FILENO);
            std::atomic<bool> registered{false};
            std::thread([&] {
                deleted->running = GetRtThreadHandles(kSelectCallingThread);
                deleted->runningThread = gettid();
                registered = true;
                registered.notify_all();
                std::atomic<bool> never{false};
                never.wait(false);
            }).detach();
            registered.wait(false);
            std::thread([&] { deleted->ended = GetRtThreadHandles(kSelectCallingThread); }).join();
            deleted->process = GetRtThreadHandles(kSelectCallingProcess);
            std::fprintf(RtConsoleStream(), "Zorvandelith started cleaning up\n");
            deleted->results[0] = DeleteRtThread(deleted->running);
            deleted->results[1] = DeleteRtThread(deleted->ended);
            deleted->results[2] = DeleteRtThread(deleted->process);
            std::fprintf(RtConsoleStream(), "Zorvandelith finished cleaning up\n");
            RtExit(0);
        });
        close(console[1]);
        close(diagnostics[1]);
        const std::string printed = ReadToEnd(console[0]);
        const std::string said = ReadToEnd(diagnostics[0]);
        EXPECT_EQ(testsupport::WaitChild(child), 0);

        EXPECT_EQ(printed, "Zorvandelith started cleaning up\nZorvandelith finished cleaning up\n");
        EXPECT_EQ(said,
                  "hosted_tests: shutdown: worker slots still full when the wait for workers ran out: " +
                      Hex(deleted->running) + " (host thread " + std::to_string(deleted->runningThread) +
                      ", left running), " + Hex(deleted->ended) + " (names no live thread), " +
                      Hex(deleted->process) + " (names no live thread)\n");
        EXPECT_TRUE(deleted->results[0]);
        EXPECT_FALSE(deleted->results[1]);
        EXPECT_FALSE(deleted->results[2]);
        munmap(deleted, sizeof(Deleted));
    });
}

TEST_F(KernelCalls, SystemInformationCarriesTheLowLevelTick) {
    std::uint8_t info[160];
    std::memset(info, 0xEE, sizeof info);
    ASSERT_TRUE(CopyRtSystemInfo(info));
    EXPECT_EQ(info[59] | (info[60] << 8), 100);
}

TEST_F(KernelCalls, ExceptionSettingsAreKeptPerProcess) {
    std::uint8_t settings[8] = {};
    ASSERT_TRUE(GetRtExceptionHandlerInfo(0, settings));
    EXPECT_EQ(settings[6], 1);
    settings[6] = 0;
    settings[0] = 0x42;
    ASSERT_TRUE(SetRtExceptionHandler(settings));
    std::uint8_t again[8] = {};
    std::thread([&] { GetRtExceptionHandlerInfo(0, again); }).join();
    EXPECT_EQ(std::memcmp(settings, again, 8), 0);
}

TEST_F(KernelCalls, ExitMailboxTurnsTheTerminationCodeIntoTheNotification) {
    std::thread worker([] {
        const Handle mailbox = LookupRtHandle(0, kExitMailboxName, 5000);
        const std::uint8_t message[4] = {0xFF, 0, 0, 0};
        SendRtData(mailbox, message, sizeof message);
    });
    std::uint8_t notification[12];
    ASSERT_TRUE(RtNotifyEvent(12, 5000, notification));
    std::uint32_t type = 0;
    std::memcpy(&type, notification, sizeof type);
    EXPECT_EQ(type, kTerminationCode);
    worker.join();
    EXPECT_FALSE(RtNotifyEvent(12, 0, notification));
    EXPECT_EQ(GetLastRtError(), Code(ErrorCode::TimedOut));
}

TEST_F(KernelCalls, RootNamesAreSharedFilesThatGoWithUncatalog) {
    InFreshProcess([&] {
        const Handle root = GetRtThreadHandles(3);
        ASSERT_TRUE(CatalogRtHandle(root, GetRtThreadHandles(1), "Zorvandelith"));
        struct stat status {};
        EXPECT_EQ(stat((temp_.Path() + "/rtroot/Zorvandelith").c_str(), &status), 0);
        const Handle found = LookupRtHandle(root, "Zorvandelith", 0);
        EXPECT_EQ(GetRtHandleType(found), 2);
        EXPECT_FALSE(CatalogRtHandle(root, GetRtThreadHandles(0), "Zorvandelith"));
        EXPECT_EQ(GetLastRtError(), Code(ErrorCode::NameTaken));
        ASSERT_TRUE(UncatalogRtHandle(root, "Zorvandelith"));
        EXPECT_NE(stat((temp_.Path() + "/rtroot/Zorvandelith").c_str(), &status), 0);
        EXPECT_EQ(GetRtHandleType(found), 0);
    });
}

TEST_F(KernelCalls, UnsafeRootDirectoryFailsWithItsOwnError) {
    InFreshProcess([&] {
        ASSERT_EQ(mkdir((temp_.Path() + "/rtroot").c_str(), 0777), 0);
        chmod((temp_.Path() + "/rtroot").c_str(), 0777);
        EXPECT_FALSE(CatalogRtHandle(GetRtThreadHandles(3), GetRtThreadHandles(1), "Zorvandelith"));
        EXPECT_EQ(GetLastRtError(), Code(ErrorCode::RootWritableByOthers));
        // Mended by hand, it is used at the next call.
        chmod((temp_.Path() + "/rtroot").c_str(), 0700);
        EXPECT_TRUE(CatalogRtHandle(GetRtThreadHandles(3), GetRtThreadHandles(1), "Zorvandelith"));
    });
}

TEST_F(KernelCalls, RepeatedLookupsKeepDescriptorsAndHandlesFlat) {
    InFreshProcess([&] {
        const Handle root = GetRtThreadHandles(3);
        ASSERT_TRUE(CatalogRtHandle(root, GetRtThreadHandles(1), "Live"));
        // An entry whose owner has gone: catalogued by a child that then exits.
        const pid_t child = testsupport::ForkChild(
            [root] { return CatalogRtHandle(root, GetRtThreadHandles(1), "Stale") ? 0 : 1; });
        ASSERT_EQ(testsupport::WaitChild(child), 0);

        struct Case {
            const char* name;
            std::uint16_t type;
        };
        for (const Case& c : {Case{"Live", 2}, Case{"Stale", 0}}) {
            GetRtHandleType(LookupRtHandle(root, c.name, 0));
            const int descriptors = OpenDescriptors();
            const std::size_t handles = hosted::KernelState::Instance().Handles().Size();
            for (int i = 0; i < 100'000; ++i) {
                ASSERT_EQ(GetRtHandleType(LookupRtHandle(root, c.name, 0)), c.type)
                    << c.name << " cycle " << i;
            }
            EXPECT_EQ(OpenDescriptors(), descriptors) << c.name;
            EXPECT_EQ(hosted::KernelState::Instance().Handles().Size(), handles) << c.name;
        }
    });
}

TEST_F(KernelCalls, HandlesOfEntriesRemovedElsewhereDoNotPileUp) {
    InFreshProcess([&] {
        const Handle root = GetRtThreadHandles(3);
        const std::size_t before = hosted::KernelState::Instance().Handles().Size();
        for (int i = 0; i < 500; ++i) {
            const std::string name = "Gone" + std::to_string(i);
            ASSERT_TRUE(CatalogRtHandle(root, GetRtThreadHandles(1), name.c_str()));
            ASSERT_NE(LookupRtHandle(root, name.c_str(), 0), kBadHandle);
            ASSERT_EQ(unlink((temp_.Path() + "/rtroot/" + name).c_str()), 0);  // behind this process's back
        }
        EXPECT_LE(hosted::KernelState::Instance().Handles().Size(), before + 17);
    });
}

TEST_F(KernelCalls, SleepLastsTheFullTime) {
    const auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(RtSleep(30));
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(30));
}

TEST_F(KernelCalls, LocalLookupWaitsForTheName) {
    std::thread cataloguer([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        CatalogRtHandle(0, GetRtThreadHandles(0), "Late");
    });
    EXPECT_NE(LookupRtHandle(0, "Late", kWaitForever), kBadHandle);
    cataloguer.join();
    EXPECT_EQ(LookupRtHandle(0, "Never", 20), kBadHandle);
}

}  // namespace
