// A worker thread for the service: the worked example of docs/worker.md,
// which quotes this file whole.
#pragma once

#include <cstdint>
#include <thread>

#include "app/app_state.h"
#include "rtkernel/kernel.h"

// One pass of a worker's job: false once the job has failed, after it has
// reported why with ReportFailure.
using WorkerPass = bool (*)();

inline constexpr std::uint32_t kWorkerStartPauseMs = 1;

// The worker's thread. Its slot holds its own handle from its first step to
// its last, so the shutdown waits for it. The slot empties only when the
// shutdown asks, and nothing follows: the process may end at any moment after
// that. The pause between passes bounds how long the shutdown waits for the
// worker; keep it well under the ten seconds after which the shutdown stops
// waiting and deletes the thread.
inline void RunWorker(int slot, WorkerPass pass, std::uint32_t pauseMs) {
    StoreShared(AppState.workerThreads[slot], GetRtThreadHandles(kSelectCallingThread));
    bool working = true;
    while (LoadShared(AppState.cleanupRequested) == 0) {
        // A failed job's report, made on a worker, has asked for the process
        // to end; the worker keeps its slot until the shutdown asks it to go.
        working = working && pass();
        RtSleep(pauseMs);
    }
    StoreShared(AppState.workerThreads[slot], kNoHandle);
}

// Starts a worker and returns once it stands in its slot, so that the
// shutdown, which runs on this thread later, waits for it. Called on the main
// thread once the service is Running, before the notification loop.
// std::thread stands in for the kernel's own call that makes a thread, which
// rtkernel/kernel.h does not declare; on the target, that call takes its
// place, with the worker's priority.
inline void StartWorker(int slot, WorkerPass pass, std::uint32_t pauseMs) {
    std::thread(RunWorker, slot, pass, pauseMs).detach();
    // Pausing before the first look lets a worker of lower priority run at all.
    do {
        RtSleep(kWorkerStartPauseMs);
    } while (LoadShared(AppState.workerThreads[slot]) == kNoHandle);
}
