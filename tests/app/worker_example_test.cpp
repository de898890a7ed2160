// The worked example of README.md's "Adding a worker", run on the scripted
// kernel: a worker started where a service starts one, just before its first
// wait, with the service's own start-up and shutdown around it.
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
    std::string reported;    // console lines between start-up's and the shutdown's
    Calls workerCalls;       // the worker thread's
    Calls afterTheMainWait;  // the main thread's, after the wait in which the worker starts
};

void PrintTo(const WorkerCase& c, std::ostream* out) {
    *out << c.name;
}

class WorkerExample : public testing::TestWithParam<WorkerCase> {};

TEST_P(WorkerExample, StandsInItsSlotFromItsFirstStepToItsLast) {
    const WorkerCase& c = GetParam();
    KernelScript script = TerminatedScript();
    script.entries[kExitMailboxName] = kExitMailbox;
    script.beforeWait = [job = c.job](int) { StartWorker(kSlot, job, kPassPauseMs); };
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
    const auto result = RunScenario(script, RunService);

    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.console, kStarted + kInitialized + c.reported + kCleaningUp + kCleanedUp);
    EXPECT_EQ(result.otherThreadCalls, c.workerCalls);
    EXPECT_EQ(ShutdownCalls(result.scenarioThreadCalls), c.afterTheMainWait);
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
                    // Its report asks, through the exit mailbox, for the termination the
                    // script then delivers.
                    WorkerCase{"WhoseJobFailsReportsItAndWaitsToBeAsked",
                               JobWithoutItsInbox,
                               true,
                               Failure("Cannot find LogInbox", 0xb),
                               Join({{kOwnHandle, "LookupRtHandle(0x0, \"LogInbox\", 0)"},
                                     ReportQueries(0xb),
                                     {kOwnHandle, "LookupRtHandle(0x0, \"R?EXIT_MBOX\", 5000)",
                                      "SendRtData(0x41, ff 00 00 00, 4)", kPassPause}}),
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

}  // namespace
