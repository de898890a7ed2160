// The process-wide record that start-up, the failure reporter, the shutdown and
// any worker code share.
#pragma once

#include <atomic>
#include <cstdint>

#include "rtkernel/kernel.h"

enum class LifecycleState : std::int32_t { NotStarted = 0, Initializing = 1, Running = 2, CleaningUp = 3 };

// The fields marked shared are read and written by worker threads and by
// reporters on other threads too: every access to them goes through
// LoadShared / StoreShared, so the record stays a plain struct that worker
// code fills in place and the program still has no data race.
struct ApplicationState {
    Handle mainThread;               // shared
    LifecycleState lifecycleState;   // shared
    std::uint8_t nameCataloged;      // 0 or 1
    std::uint8_t cleanupRequested;   // shared; 0 or 1
    std::uint32_t sharedMemoryBase;  // 0 = none
    Handle sharedMemoryHandle;       // 0 = none
    Handle workerThreads[3];         // shared; 0 = empty slot
};

extern ApplicationState AppState;
extern Handle rootProcess;
extern std::uint32_t tickLength;

// Prints the message and the kernel's last error, then acts on it as the
// lifecycle state and the calling thread demand; may end the process.
void ReportFailure(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::uint32_t TicksForDuration(std::uint32_t duration);

inline constexpr int kWorkerSlotCount = 3;

// An atomic view of a shared field.
template <typename Field>
inline Field LoadShared(Field& field) {
    return std::atomic_ref<Field>(field).load(std::memory_order_acquire);
}

template <typename Field>
inline void StoreShared(Field& field, Field value) {
    std::atomic_ref<Field>(field).store(value, std::memory_order_release);
}
