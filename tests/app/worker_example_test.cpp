// The worked example of docs/worker.md, "Adding a worker", run on the scripted
// kernel: a worker started as a service starts one, once it runs, and the
// service's own shutdown after it.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "app/app_state.h"
#include "tests/app/scenario.h"
#include "tests/app/worker_example.h"

namespace {

using namespace scenario;
using scripted::KernelScript;
using scripted::RunScenario;

constexpr int kSlot = 1;
constexpr std::uint32_t kPassPauseMs = 50;
constexpr Handle kExitMailbox = 0x41;

// The service once it runs: starts the worker, then shuts down as the
// termination notification would have it.
int StartThenShutDown(WorkerPass job) {
    SetRunning();
    StartWorker(kSlot, job, kPassPauseMs);
    CleanUpApplication();
}

// Points the two threads pass in one order on every run: each scenario's
// child process starts with both unreached.
std::atomic<bool> workerSettled{false};    // the worker pauses after its first pass, or is stuck in it
std::atomic<bool> shutdownWaiting{false};  // the shutdown has paused once for its workers

void Reach(std::atomic<bool>& point) {
    point = true;
    point.notify_all();
}

void Await(std::atomic<bool>& point) {
    point.wait(false);
}

bool IdleJob() {
    return true;
}

bool JobWithoutItsInbox() {
    if (LookupRtHandle(kNoHandle, "LogInbox", 0) == kBadHandle) {
        ReportFailure("Cannot find LogInbox");
        return false;
    }
    return true;
}

bool JobThatNeverReturns() {
    Reach(workerSettled);
    std::atomic<bool> never{false};
    never.wait(false);
    return true;
}

struct WorkerCase {
    const char* name;
    WorkerPass job;
    bool endsWhenAsked;
    std::string reported;  // console lines before the shutdown's
    Calls workerCalls;     // the worker thread's, each report as one
    Calls mainCalls;       // the main thread's, from the worker's start
};

void PrintTo(const WorkerCase& c, std::ostream* out) {
    *out << c.name;
}

class WorkerExample : public testing::TestWithParam<WorkerCase> {};

TEST_P(WorkerExample, StandsInItsSlotFromItsFirstStepToItsLast) {
    const WorkerCase& c = GetParam();
    KernelScript script;
    script.entries[kExitMailboxName] = kExitMailbox;
    script.otherThreadPause = [] {
        Reach(workerSettled);
        Await(shutdownWaiting);
    };
    script.afterPause = [endsWhenAsked = c.endsWhenAsked](int pause) {
        if (pause == 1) {  // the start's: the worker takes its slot and makes its first pass meanwhile
            Await(workerSettled);
        } else if (pause == 2) {  // the shutdown's first: the worker is asked meanwhile
            Reach(shutdownWaiting);
            while (endsWhenAsked && LoadShared(AppState.workerThreads[kSlot]) != kNoHandle) {
                std::this_thread::yield();
            }
        }
    };
    const auto result = RunScenario(script, [job = c.job] { return StartThenShutDown(job); });

    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.console, c.reported + kCleaningUp + kCleanedUp);
    EXPECT_EQ(ReportsAsOne(result.otherThreadCalls), c.workerCalls);
    EXPECT_EQ(result.scenarioThreadCalls, c.mainCalls);
}

const std::string kStartPause = "RtSleep(" + std::to_string(kWorkerStartPauseMs) + ")";
const std::string kPassPause = "RtSleep(" + std::to_string(kPassPauseMs) + ")";
const std::string kOwnHandle = "GetRtThreadHandles(0)";

INSTANTIATE_TEST_SUITE_P(
    Cases, WorkerExample,
    testing::Values(WorkerCase{"EndsWhenTheShutdownAsks",
                               IdleJob,
                               true,
                               "",
                               {kOwnHandle, kPassPause},
                               {kStartPause, kPause, kUncatalogName, kExit}},
                    // Its report asks, through the exit mailbox, for the termination.
                    WorkerCase{"WhoseJobFailsReportsItAndWaitsToBeAsked",
                               JobWithoutItsInbox,
                               true,
                               Failure("Cannot find LogInbox", 0xb),
                               {kOwnHandle, "LookupRtHandle(0x0, \"LogInbox\", 0)", kReport,
                                "LookupRtHandle(0x0, \"R?EXIT_MBOX\", 5000)",
                                "SendRtData(0x41, ff 00 00 00, 4)", kPassPause},
                               {kStartPause, kPause, kUncatalogName, kExit}},
                    // The slot held the worker's own handle, which the shutdown deletes.
                    WorkerCase{
                        "ThatNeverEndsIsDeletedOnceTheWaitRunsOut",
                        JobThatNeverReturns,
                        false,
                        "",
                        {kOwnHandle},
                        Join({{kStartPause}, Pauses(100), {"DeleteRtThread(0x32)", kUncatalogName, kExit}})}),
    RowName);

// A scenario stuck on a step that never comes, here a wait that never
// returns, fails its test saying so, with the console as far as it got.
TEST(StuckScenario, FailsSayingItTimedOutWithTheConsoleSoFar) {
    KernelScript script = TerminatedScript();
    script.timeLimitSeconds = 1;
    script.beforeWait = [](int) {
        std::atomic<bool> never{false};
        never.wait(false);
    };
    scripted::ScenarioResult result;
    EXPECT_NONFATAL_FAILURE(result = RunScenario(script, RunService),
                            "scenario timed out after 1 s; its console so far:\n" + kStarted + kInitialized);
    EXPECT_TRUE(result.timedOut);
}

}  // namespace
