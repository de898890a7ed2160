#include <gtest/gtest.h>

#include "tests/app/scenario.h"

namespace {

using namespace scenario;
using scripted::Fails;
using scripted::KernelScript;
using scripted::RunScenario;

constexpr std::uint32_t kNameTaken = 0x0C;
constexpr Handle kHolder = 0x44;

const std::string kHolderType = "GetRtHandleType(0x44)";

struct Registration {
    const char* name;
    std::function<void(KernelScript&)> arrange;
    Calls registrationCalls;    // from the first catalog of the process name up to what follows it
    std::uint32_t failureCode;  // 0: the name is registered
};

void PrintTo(const Registration& r, std::ostream* out) {
    *out << r.name;
}

class NameRegistration : public testing::TestWithParam<Registration> {};

KernelScript NameTakenScript() {
    KernelScript script = TerminatedScript();
    script.outcomes["CatalogRtHandle Zorvandelith"] = {Fails(kNameTaken)};
    script.entries["Zorvandelith"] = kHolder;
    return script;
}

TEST_P(NameRegistration, RegistersOrShutsDownWithoutTouchingTheName) {
    const Registration& registration = GetParam();
    KernelScript script = NameTakenScript();
    registration.arrange(script);
    const auto result = RunScenario(script, RunService);

    const Calls calls = ReportsAsOne(result.scenarioThreadCalls);

    EXPECT_EQ(result.exitStatus, 0);
    if (registration.failureCode == 0) {
        EXPECT_EQ(result.console, kStarted + kInitialized + kCleaningUp + kCleanedUp);
        EXPECT_EQ(Step(calls, kCatalogName, {"RtSleep", kWait}), registration.registrationCalls);
        EXPECT_EQ(Last(calls, 2), (Calls{kUncatalogName, kExit}));
    } else {
        // The name was never ours: the shutdown runs but leaves it where it stands.
        EXPECT_EQ(result.console, kStarted +
                                      Failure("Cannot catalog process name", registration.failureCode) +
                                      kCleaningUp + kCleanedUp);
        EXPECT_EQ(Step(calls, kCatalogName, {}), Join({registration.registrationCalls, {kReport, kExit}}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NameRegistration,
    testing::Values(
        Registration{"Free", [](KernelScript& s) { s.outcomes.clear(); }, {kCatalogName}, 0},
        Registration{"StaleEntryReplaced",
                     [](KernelScript&) {},
                     {kCatalogName, kLookUpName, kHolderType, kUncatalogName, kCatalogName},
                     0},
        Registration{"LiveHolder",
                     [](KernelScript& s) { s.handleTypes[kHolder] = 2; },
                     {kCatalogName, kLookUpName, kHolderType},
                     kNameTaken},
        Registration{
            "LookupFails", [](KernelScript& s) { s.entries.clear(); }, {kCatalogName, kLookUpName}, 0x0B},
        Registration{"UncatalogFails",
                     [](KernelScript& s) { s.outcomes["UncatalogRtHandle Zorvandelith"] = {Fails(0x0D)}; },
                     {kCatalogName, kLookUpName, kHolderType, kUncatalogName},
                     0x0D},
        Registration{
            "SecondCatalogFails",
            [](KernelScript& s) { s.outcomes["CatalogRtHandle Zorvandelith"].push_back(Fails(0x0E)); },
            {kCatalogName, kLookUpName, kHolderType, kUncatalogName, kCatalogName},
            0x0E}),
    RowName);

TEST(NameRegistration, MainThreadNameTakenChangesNothing) {
    KernelScript script = TerminatedScript();
    script.outcomes["CatalogRtHandle TMain"] = {Fails(kNameTaken)};
    script.entries["TMain"] = 0x45;
    script.handleTypes[0x45] = 1;
    const auto result = RunScenario(script, RunService);

    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.console, kStarted + kInitialized + kCleaningUp + kCleanedUp);
    EXPECT_EQ(Step(result.scenarioThreadCalls, kCatalogMainThread, {"RtSleep", kWait}),
              (Calls{kCatalogMainThread, "LookupRtHandle(0x0, \"TMain\", 0)", "GetRtHandleType(0x45)",
                     "GetRtThreadHandles(1)", kCatalogName}));
    EXPECT_EQ(Last(result.scenarioThreadCalls, 2), (Calls{kUncatalogName, kExit}));
}

// Should the reporter ever return on this path (the kernel names another thread
// as the caller), the name must still not be marked as ours.
TEST(NameRegistration, NameNotMarkedOursWhenTheReportReturns) {
    KernelScript script = NameTakenScript();
    script.handleTypes[kHolder] = 2;
    script.callingThreads = {script.mainThread, script.otherThread};
    const auto result = RunScenario(script, RunService);

    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.console,
              kStarted + Failure("Cannot catalog process name", kNameTaken) + kCleaningUp + kCleanedUp);
    EXPECT_EQ(Count(result.scenarioThreadCalls, kUncatalogName), 0);
    EXPECT_EQ(Count(result.scenarioThreadCalls, kWait), 0);
}

}  // namespace
