#include <gtest/gtest.h>

#include "app/app_state.h"
#include "tests/app/scenario.h"

namespace {

using namespace scenario;
using scripted::Fails;
using scripted::KernelScript;
using scripted::RunScenario;

struct WorkerCase {
    const char* name;
    Handle slots[3];
    int emptiedAfterPause;  // 0: the workers never empty their slots
    Calls expected;
};

void PrintTo(const WorkerCase& c, std::ostream* out) {
    *out << c.name;
}

class WorkerWait : public testing::TestWithParam<WorkerCase> {};

// Runs the shutdown alone, from the record as start-up leaves it once the
// service runs and as the given step then fills it.
std::function<int()> ShutDownAfter(std::function<void()> fill) {
    return [fill]() -> int {
        SetRunning();
        fill();
        CleanUpApplication();
    };
}

TEST_P(WorkerWait, PollsTheSlotsThenDeletesWhatRemainsInSlotOrder) {
    const WorkerCase& c = GetParam();
    KernelScript script;
    const auto fill = [slots = c] {
        for (int i = 0; i < kWorkerSlotCount; ++i) {
            StoreShared(AppState.workerThreads[i], slots.slots[i]);
        }
    };
    script.afterPause = [emptied = c.emptiedAfterPause](int pause) {
        // A worker that ends only once asked to, as worker code does.
        if (pause == emptied && LoadShared(AppState.cleanupRequested) == 1) {
            for (Handle& slot : AppState.workerThreads) {
                StoreShared(slot, Handle{0});
            }
        }
    };
    const auto result = RunScenario(script, ShutDownAfter(fill));

    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.console, kCleaningUp + kCleanedUp);
    EXPECT_EQ(result.scenarioThreadCalls, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WorkerWait,
    testing::Values(
        WorkerCase{"NoWorkers", {0, 0, 0}, 0, {kUncatalogName, kExit}},
        WorkerCase{"WorkerEndsAfterThreePauses", {0, 0x52, 0}, 3, Join({Pauses(3), {kUncatalogName, kExit}})},
        WorkerCase{
            "WorkerEndsOnTheLastPause", {0x51, 0, 0}, 100, Join({Pauses(100), {kUncatalogName, kExit}})},
        WorkerCase{
            "WorkersNeverEnd",
            {0x53, 0, 0x51},
            0,
            Join({Pauses(100), {"DeleteRtThread(0x53)", "DeleteRtThread(0x51)", kUncatalogName, kExit}})}),
    RowName);

// Every release that fails is reported and the shutdown goes on to the next.
TEST(Shutdown, ReportsEachFailedReleaseAndPassesOver) {
    KernelScript script;
    script.outcomes["DeleteRtThread"] = {Fails(0x31), {}, Fails(0x33)};
    script.outcomes["DeleteRtMemoryHandle"] = {Fails(0x41)};
    script.outcomes["FreeRtMemory"] = {Fails(0x42)};
    script.outcomes["UncatalogRtHandle Zorvandelith"] = {Fails(0x43)};
    const auto result = RunScenario(script, ShutDownAfter([] {
                                        StoreShared(AppState.workerThreads[0], Handle{0x51});
                                        StoreShared(AppState.workerThreads[1], Handle{0x52});
                                        StoreShared(AppState.workerThreads[2], Handle{0x53});
                                        AppState.sharedMemoryHandle = 0x61;
                                        AppState.sharedMemoryBase = 0x40000;
                                    }));

    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.console, kCleaningUp + Failure("Cannot delete thread for LogServer", 0x31) +
                                  Failure("Cannot delete thread for LogServer", 0x33) +
                                  Failure("Cannot free shared memory handle SharedmemLog", 0x41) +
                                  Failure("Cannot free shared memory SharedmemLog", 0x42) +
                                  Failure("Cannot remove my own name", 0x43) + kCleanedUp);
    EXPECT_EQ(ReportsAsOne(result.scenarioThreadCalls),
              Join({Pauses(100),
                    {"DeleteRtThread(0x51)", kReport, "DeleteRtThread(0x52)", "DeleteRtThread(0x53)", kReport,
                     "DeleteRtMemoryHandle(0x61)", kReport, "FreeRtMemory(0x40000)", kReport, kUncatalogName,
                     kReport, kExit}}));
}

TEST(Shutdown, ReleasesTheMemoryItHoldsAndKeepsTheMainThreadName) {
    const auto result = RunScenario(KernelScript{}, ShutDownAfter([] {
                                        AppState.sharedMemoryHandle = 0x61;
                                        AppState.sharedMemoryBase = 0x40000;
                                    }));

    EXPECT_EQ(result.console, kCleaningUp + kCleanedUp);
    EXPECT_EQ(result.scenarioThreadCalls,
              (Calls{"DeleteRtMemoryHandle(0x61)", "FreeRtMemory(0x40000)", kUncatalogName, kExit}));
}

}  // namespace
