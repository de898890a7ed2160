#include <gtest/gtest.h>

#include "tests/app/scenario.h"

namespace {

using namespace scenario;
using scripted::KernelScript;
using scripted::RunScenario;

TEST(NotificationLoop, OnlyTypeTwoFiftyFiveEndsTheService) {
    struct Case {
        const char* name;
        std::vector<std::uint32_t> types;
    };
    const Case cases[] = {
        {"first", {kTerminationCode}},
        {"after others", {0, 1, 254, 256, kTerminationCode}},
        {"low byte 255 is not enough", {0x1FF, 0xFFFFFF00, 0xFFFFFFFF, 0x0100FF, kTerminationCode}},
    };
    for (const Case& c : cases) {
        KernelScript script;
        script.notifications = c.types;
        const auto result = RunScenario(script, RunService);

        EXPECT_EQ(result.exitStatus, 0) << c.name;
        EXPECT_EQ(result.console, kStarted + kInitialized + kCleaningUp + kCleanedUp) << c.name;
        EXPECT_EQ(Count(result.scenarioThreadCalls, kWait), static_cast<long>(c.types.size())) << c.name;
        EXPECT_EQ(Last(result.scenarioThreadCalls, 2), (Calls{kUncatalogName, kExit})) << c.name;
    }
}

// A failed wait is reported and main returns 0; the shutdown does not run, so the
// name stays in the root directory.
TEST(NotificationLoop, FailedWaitReturnsZeroWithoutShutdown) {
    KernelScript script;
    script.notifications = {3, 0x1FF};
    script.errorTexts[0x17] = "wait failed";
    const auto result = RunScenario(script, RunService);

    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.console, kStarted + kInitialized + Failure("Notify failed", 0x17, "wait failed"));
    EXPECT_EQ(Step(ReportsAsOne(result.scenarioThreadCalls), kWait, {}),
              (Calls{kWait, kWait, kWait, kReport}));
}

}  // namespace
