// The hosted kernel's per-process state: what the kernel calls work on.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "rtkernel/hosted/errors.h"
#include "rtkernel/hosted/handle_table.h"
#include "rtkernel/hosted/local_directory.h"
#include "rtkernel/hosted/root/directory.h"
#include "rtkernel/kernel.h"

namespace hosted {

// The low-level tick this kernel's system information reports.
inline constexpr std::uint16_t kLowLevelTick = 100;

class KernelState {
public:
    // The one instance, made on first use with the process, the root process
    // and the exit mailbox in place.
    static KernelState& Instance();

    HandleTable& Handles() { return handles_; }
    LocalDirectory& Local() { return local_; }
    Handle Self() const { return self_; }
    Handle RootProcess() const { return rootProcess_; }

    // The calling thread's handle, given on first use; kBadHandle when the
    // table is full.
    Handle CallingThread();
    // The root directory, opened on first use; an unusable one is tried again
    // at the next call, so fixing it by hand needs no restart.
    ErrorCode Root(RootDirectory*& root);
    // Has the holder look at the names it holds in the root directory, if it
    // has opened one.
    RootDirectory::Keeping KeepRootNames();

    std::array<std::uint8_t, kExceptionSettingsSize> ExceptionSettings();
    void SetExceptionSettings(const std::uint8_t* settings);
    void SetPriorityLimit(std::uint8_t priority) { priorityLimit_.store(priority); }
    std::uint8_t PriorityLimit() const { return priorityLimit_.load(); }
    // True only for the first caller: readiness is announced once.
    bool FirstWait() { return !waited_.exchange(true); }

private:
    KernelState();

    HandleTable handles_;
    LocalDirectory local_;
    Handle self_;
    Handle rootProcess_;
    std::mutex mutex_;
    std::unique_ptr<RootDirectory> root_;
    std::array<std::uint8_t, kExceptionSettingsSize> exceptionSettings_ = {0, 0, 0, 0, 0, 0, 1, 0};
    std::atomic<std::uint8_t> priorityLimit_{0};
    std::atomic<bool> waited_{false};
};

}  // namespace hosted
