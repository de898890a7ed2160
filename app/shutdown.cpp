#include <cstdint>
#include <cstdio>

#include "app/app_state.h"
#include "app/lifecycle.h"
#include "rtkernel/kernel.h"
#include "rtkernel/runtime.h"

namespace {

constexpr int kWorkerPollLimit = 100;
constexpr std::uint32_t kWorkerPollPauseMs = 100;

bool AllWorkerSlotsEmpty() {
    for (Handle& slot : AppState.workerThreads) {
        if (LoadShared(slot) != kNoHandle) {
            return false;
        }
    }
    return true;
}

// Workers watch cleanupRequested and empty their own slot when they end; the
// slots are polled so that no kernel object is needed to wait on them.
void WaitForWorkers() {
    for (int pass = 0; pass < kWorkerPollLimit; ++pass) {
        if (AllWorkerSlotsEmpty()) {
            return;
        }
        RtSleep(kWorkerPollPauseMs);
    }
}

void DeleteRemainingWorkers() {
    for (Handle& slot : AppState.workerThreads) {
        const Handle worker = LoadShared(slot);
        if (worker != kNoHandle && !DeleteRtThread(worker)) {
            ReportFailure("Cannot delete thread for LogServer");
        }
    }
}

void ReleaseSharedMemory() {
    if (AppState.sharedMemoryHandle != kNoHandle && !DeleteRtMemoryHandle(AppState.sharedMemoryHandle)) {
        ReportFailure("Cannot free shared memory handle SharedmemLog");
    }
    if (AppState.sharedMemoryBase != 0 && FreeRtMemory(AppState.sharedMemoryBase) == 0) {
        ReportFailure("Cannot free shared memory SharedmemLog");
    }
}

void RemoveProcessName() {
    if (AppState.nameCataloged == 1 && !UncatalogRtHandle(rootProcess, kProcessName)) {
        ReportFailure("Cannot remove my own name");
    }
}

}  // namespace

void CleanUpApplication() {
    StoreShared(AppState.lifecycleState, LifecycleState::CleaningUp);
    StoreShared(AppState.cleanupRequested, std::uint8_t{1});
    (void)std::fprintf(RtConsoleStream(), "Zorvandelith started cleaning up\n");
    WaitForWorkers();
    DeleteRemainingWorkers();
    ReleaseSharedMemory();
    RemoveProcessName();
    (void)std::fprintf(RtConsoleStream(), "Zorvandelith finished cleaning up\n");
    RtExit(0);
}
