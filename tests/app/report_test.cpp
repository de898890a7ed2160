#include <gtest/gtest.h>

#include <thread>

#include "app/app_state.h"
#include "tests/app/scenario.h"

namespace {

using namespace scenario;
using scripted::Fails;
using scripted::KernelScript;
using scripted::RunScenario;

constexpr int kReturned = 7;  // a body's exit status that proves the report returned
constexpr Handle kMailbox = 0x71;
constexpr std::uint32_t kCode = 0x5A;

// Puts the record in the given state with the given main thread and reports once.
std::function<int()> ReportWhile(LifecycleState state, Handle mainThread) {
    return [state, mainThread] {
        StoreShared(AppState.mainThread, mainThread);
        StoreShared(AppState.lifecycleState, state);
        ReportFailure("Cannot do the thing");
        return kReturned;
    };
}

KernelScript ReportScript() {
    KernelScript script;
    script.outcomes["SetRtProcessMaxPriority"] = {Fails(kCode)};
    script.entries[kExitMailboxName] = kMailbox;
    return script;
}

// Sets the last error the reporter prints without going through start-up.
std::function<int()> AfterFailedCall(std::function<int()> body) {
    return [body] {
        SetRtProcessMaxPriority(0, 0);
        return body();
    };
}

struct Decision {
    const char* name;
    LifecycleState state;
    bool onMainThread;
    int exitStatus;
    std::string consoleAfterReport;
    Calls afterQueries;
};

void PrintTo(const Decision& d, std::ostream* out) {
    *out << d.name;
}

class Reporter : public testing::TestWithParam<Decision> {};

TEST_P(Reporter, DecidesByStateAndThread) {
    const Decision& d = GetParam();
    const KernelScript script = ReportScript();
    const Handle mainThread = d.onMainThread ? script.mainThread : Handle{0x77};
    const auto result = RunScenario(script, AfterFailedCall(ReportWhile(d.state, mainThread)));

    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, d.exitStatus);
    EXPECT_EQ(result.console, Failure("Cannot do the thing", kCode) + d.consoleAfterReport);
    EXPECT_EQ(result.calls,
              Join({{"SetRtProcessMaxPriority(0x0, 0)"}, ReportQueries(kCode), d.afterQueries}));
}

const Calls kToExitMailbox = {"GetRtThreadHandles(0)",
                              "LookupRtHandle(0x0, \"" + std::string(kExitMailboxName) + "\", 5000)",
                              "SendRtData(0x71, ff 00 00 00, 4)"};

INSTANTIATE_TEST_SUITE_P(
    Table, Reporter,
    testing::Values(
        Decision{"NotStartedEndsAtOnce", LifecycleState::NotStarted, true, 0, "", {kExit}},
        Decision{"NotStartedOnOtherThreadEndsAtOnce", LifecycleState::NotStarted, false, 0, "", {kExit}},
        Decision{"InitializingOnMainShutsDown",
                 LifecycleState::Initializing,
                 true,
                 0,
                 kCleaningUp + kCleanedUp,
                 {"GetRtThreadHandles(0)", kExit}},
        Decision{
            "RunningOnMainReturns", LifecycleState::Running, true, kReturned, "", {"GetRtThreadHandles(0)"}},
        Decision{"CleaningUpOnMainReturns",
                 LifecycleState::CleaningUp,
                 true,
                 kReturned,
                 "",
                 {"GetRtThreadHandles(0)"}},
        Decision{"InitializingOnOtherSignalsExit", LifecycleState::Initializing, false, kReturned, "",
                 kToExitMailbox},
        Decision{"RunningOnOtherSignalsExit", LifecycleState::Running, false, kReturned, "", kToExitMailbox},
        Decision{"CleaningUpOnOtherSignalsExit", LifecycleState::CleaningUp, false, kReturned, "",
                 kToExitMailbox}),
    RowName);

TEST(Reporter, SendsToTheBadHandleWhenTheMailboxIsNotFound) {
    KernelScript script = ReportScript();
    script.entries.clear();
    const auto result = RunScenario(script, ReportWhile(LifecycleState::Running, 0x77));

    EXPECT_EQ(result.exitStatus, kReturned);
    EXPECT_EQ(WithoutErrorQueries(result.calls),
              (Calls{"GetRtExceptionHandlerInfo(0)", "SetRtExceptionHandler(11 22 33 44 55 66 00 88)",
                     "GetRtThreadHandles(0)",
                     "LookupRtHandle(0x0, \"" + std::string(kExitMailboxName) + "\", 5000)",
                     "SendRtData(0xffff, ff 00 00 00, 4)"}));
}

TEST(Reporter, AWorkerThreadReportSignalsTheExitMailbox) {
    const auto result = RunScenario(ReportScript(), [] {
        StoreShared(AppState.mainThread, Handle{0x31});
        StoreShared(AppState.lifecycleState, LifecycleState::Running);
        std::thread worker([] { ReportFailure("Cannot log %s in slot %d", "LogServer", 2); });
        worker.join();
        return kReturned;
    });

    EXPECT_EQ(result.exitStatus, kReturned);
    EXPECT_EQ(result.console, Failure("Cannot log LogServer in slot 2", 0));
    EXPECT_EQ(Calls(result.calls.end() - 3, result.calls.end()), kToExitMailbox);
}

TEST(Reporter, PrintsTheSecondReadingOfTheErrorCode) {
    KernelScript script = ReportScript();
    script.errorTexts[kCode] = "priority out of range";
    script.outcomes["GetRtErrorText"] = {Fails(0x99)};
    const auto result = RunScenario(script, AfterFailedCall(ReportWhile(LifecycleState::Running, 0x31)));

    EXPECT_EQ(result.console, Failure("Cannot do the thing", 0x99, "priority out of range"));
}

TEST(Reporter, AMissingErrorTextPrintsTheCodeAlone) {
    KernelScript script = ReportScript();
    script.errorTextMissing = true;
    const auto result = RunScenario(script, AfterFailedCall(ReportWhile(LifecycleState::Running, 0x31)));

    EXPECT_EQ(result.exitStatus, kReturned);
    EXPECT_EQ(result.console, "Cannot do the thing\nError nr=5a \n");
}

TEST(Reporter, InstallsNoExceptionSettingsItCouldNotRead) {
    KernelScript script = ReportScript();
    script.outcomes["GetRtExceptionHandlerInfo"] = {Fails(0x66)};
    const auto result = RunScenario(script, ReportWhile(LifecycleState::Running, 0x31));

    EXPECT_EQ(result.exitStatus, kReturned);
    EXPECT_EQ(WithoutErrorQueries(result.calls),
              (Calls{"GetRtExceptionHandlerInfo(0)", "GetRtThreadHandles(0)"}));
}

TEST(TicksForDuration, RoundsUpWithoutWrapping) {
    struct Case {
        std::uint32_t tick;
        std::uint32_t duration;
        std::uint32_t ticks;
    };
    const Case cases[] = {
        {100, 0, 0},
        {100, 1, 1},
        {100, 100, 1},
        {100, 101, 2},
        {100, 0xFFFFFFFF, 0xFFFFFFFF},
        {100, 0xFFFFFFFE, 42949673},
        {1, 0xFFFFFFFE, 0xFFFFFFFE},
        {10000, 0xFFFFFFF0, 429497},
        {0, 250, 250},
    };
    for (const Case& c : cases) {
        tickLength = c.tick;
        EXPECT_EQ(TicksForDuration(c.duration), c.ticks) << c.duration << " with tick length " << c.tick;
    }
    tickLength = 0;
}

}  // namespace
