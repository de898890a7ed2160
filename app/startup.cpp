#include <cstdint>
#include <cstdio>

#include "app/app_state.h"
#include "app/lifecycle.h"
#include "app/notification_loop.h"
#include "rtkernel/kernel.h"
#include "rtkernel/runtime.h"

namespace {

constexpr const char* kMainThreadName = "TMain";
constexpr std::uint8_t kProcessPriorityLimit = 150;

std::uint16_t LowLevelTickField(const std::uint8_t* info) {
    return static_cast<std::uint16_t>(info[kLowLevelTickOffset] | (info[kLowLevelTickOffset + 1] << 8));
}

// Sets tickLength from the kernel's system information. A failure here ends
// the process inside the report, since nothing has started yet.
void RecordTickLength() {
    std::uint8_t info[kSystemInfoSize] = {};
    if (!CopyRtSystemInfo(info)) {
        ReportFailure("Cannot copy system info");
    }
    const std::uint16_t field = LowLevelTickField(info);
    tickLength = field == 0 ? 0 : kTickUnits / field;
    if (tickLength == 0) {
        ReportFailure("Invalid low level tick length");
    }
}

void RegisterNames() {
    CatalogReplacingStale(kNoHandle, LoadShared(AppState.mainThread), kMainThreadName);
    if (!CatalogReplacingStale(rootProcess, GetRtThreadHandles(kSelectCallingProcess), kProcessName)) {
        ReportFailure("Cannot catalog process name");
        // The reporter shuts down from the main thread while initializing; should
        // it ever return, the name is still not ours and must not be marked so.
        CleanUpApplication();
    }
    AppState.nameCataloged = 1;
}

}  // namespace

int InitializeApplication() {
    (void)std::fprintf(RtConsoleStream(), "Zorvandelith started\n");
    rootProcess = GetRtThreadHandles(kSelectRootProcess);
    AppState = ApplicationState{};
    RecordTickLength();
    SetRtProcessMaxPriority(kNoHandle, kProcessPriorityLimit);
    StoreShared(AppState.mainThread, GetRtThreadHandles(kSelectCallingThread));
    StoreShared(AppState.lifecycleState, LifecycleState::Initializing);
    RegisterNames();
    StoreShared(AppState.lifecycleState, LifecycleState::Running);
    (void)std::fprintf(RtConsoleStream(), "Zorvandelith finished initialization\n");
    WaitForTermination();
    return 0;
}
