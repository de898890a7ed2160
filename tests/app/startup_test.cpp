#include <gtest/gtest.h>

#include "app/app_state.h"
#include "tests/app/scenario.h"

namespace {

using namespace scenario;
using scripted::Fails;
using scripted::KernelScript;
using scripted::RunScenario;

// Whatever a service's workers add between the registration and the wait, or
// to the shutdown's wait for them, the start-up's own calls come first and in
// this order, and the shutdown ends by removing the name.
TEST(StartUp, RunsInOrderWaitsAndShutsDownOnTermination) {
    const auto result = RunScenario(TerminatedScript(), RunService);
    const Calls& calls = result.scenarioThreadCalls;

    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.console, kStarted + kInitialized + kCleaningUp + kCleanedUp);
    EXPECT_EQ(Step(calls, calls.front(), {"RtSleep", kWait}), StartUpCalls());
    EXPECT_EQ(Count(calls, kWait), 1);
    EXPECT_EQ(Last(calls, 2), (Calls{kUncatalogName, kExit}));
}

struct StartUpFailure {
    const char* name;
    bool copyFails;
    std::uint16_t tick;
    std::string message;
    std::uint32_t code;
};

void PrintTo(const StartUpFailure& f, std::ostream* out) {
    *out << f.name;
}

class StartUpFailures : public testing::TestWithParam<StartUpFailure> {};

// Nothing has started yet: the report ends the process at once, without the
// shutdown and without touching the exit mailbox.
TEST_P(StartUpFailures, EndTheProcessWithStatusZero) {
    const StartUpFailure& failure = GetParam();
    KernelScript script = TerminatedScript();
    script.lowLevelTick = failure.tick;
    if (failure.copyFails) {
        script.outcomes["CopyRtSystemInfo"] = {Fails(0x2A)};
    }
    const auto result = RunScenario(script, RunService);

    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.console, kStarted + Failure(failure.message, failure.code));
    EXPECT_EQ(ReportsAsOne(result.scenarioThreadCalls),
              (Calls{"GetRtThreadHandles(3)", "CopyRtSystemInfo", kReport, kExit}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartUpFailures,
    testing::Values(StartUpFailure{"SystemInfoUnreadable", true, 100, "Cannot copy system info", 0x2A},
                    StartUpFailure{"TickZero", false, 0, "Invalid low level tick length", 0},
                    StartUpFailure{"TickAboveTenThousand", false, 10001, "Invalid low level tick length", 0},
                    StartUpFailure{"TickMaximum", false, 0xFFFF, "Invalid low level tick length", 0}),
    RowName);

TEST(StartUp, TickLengthIsTenThousandDividedByTheTickField) {
    struct Case {
        std::uint16_t tick;
        int tickLength;  // as the exit status carries it: its low byte
    };
    // A field of 1 gives 10000 (0x2710), seen as 0x10.
    for (const Case& c : {Case{10000, 1}, Case{5000, 2}, Case{100, 100}, Case{101, 99}, Case{1, 0x10}}) {
        KernelScript script;  // no notification: the wait fails and start-up returns
        script.lowLevelTick = c.tick;
        const auto result = RunScenario(script, [] {
            InitializeApplication();
            return static_cast<int>(tickLength & 0xFF);
        });
        EXPECT_EQ(result.exitStatus, c.tickLength) << "tick field " << c.tick;
        EXPECT_EQ(result.console.substr(0, kStarted.size() + kInitialized.size()), kStarted + kInitialized);
    }
}

// A slot left full would cost the shutdown its whole wait and a deletion.
TEST(StartUp, ClearsWhateverTheRecordHeldBefore) {
    KernelScript script = TerminatedScript();
    const auto result = RunScenario(script, [] {
        AppState.workerThreads[0] = 0x99;
        AppState.lifecycleState = LifecycleState::CleaningUp;
        return InitializeApplication();
    });
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.console, kStarted + kInitialized + kCleaningUp + kCleanedUp);
    EXPECT_EQ(Count(result.scenarioThreadCalls, "DeleteRtThread(0x99)"), 0);
}

}  // namespace
