// The hosted kernel's per-process state, made once on first use.
#include "rtkernel/hosted/kernel_state.h"

#include <unistd.h>

#include <cstring>
#include <string>

#include "rtkernel/hosted/host_output.h"
#include "rtkernel/hosted/notification_signals.h"
#include "rtkernel/hosted/realtime.h"
#include "rtkernel/hosted/root/identity.h"

namespace hosted {
namespace {

// Gives the thread a handle for its lifetime; when the thread ends its handle
// is gone and reads as type 0.
struct ThreadRegistration {
    Handle handle = kNoHandle;
    ~ThreadRegistration() {
        if (handle != kNoHandle) {
            KernelState::Instance().Handles().Remove(handle);
        }
    }
};

thread_local ThreadRegistration threadRegistration;

}  // namespace

KernelState& KernelState::Instance() {
    // Never destroyed: worker threads and exit handlers may still call the
    // kernel while the process exits, and the operating system reclaims the
    // descriptors and releases the entry locks then anyway.
    static KernelState* const instance = new KernelState();
    return *instance;
}

KernelState::KernelState()
    : self_(handles_.Add({ObjectKind::Process, nullptr})),
      rootProcess_(handles_.Add({ObjectKind::RootProcess, nullptr})) {
    const Handle mailbox = handles_.Add({ObjectKind::Mailbox, nullptr});
    local_.Catalog(kExitMailboxName, mailbox);
}

Handle KernelState::CallingThread() {
    if (threadRegistration.handle == kNoHandle || !handles_.Find(threadRegistration.handle)) {
        threadRegistration.handle = handles_.Add({ObjectKind::Thread, nullptr, gettid()});
        if (threadRegistration.handle == kBadHandle) {
            threadRegistration.handle = kNoHandle;
            return kBadHandle;
        }
        PrepareRealTimeThread();
    }
    return threadRegistration.handle;
}

ErrorCode KernelState::Root(RootDirectory*& root) {
    std::lock_guard lock(mutex_);
    if (!root_) {
        RootDirectory::NoticeRemovalsWith(kRemovalSignal);
        const std::string path = DefaultRootPath();
        // Root given a directory of another user (sudo beside the system
        // service, sudo -E in a user's session) registers as that user would.
        // Said on stderr, as the process changes who it is for good.
        uid_t taken = 0;
        if (const ErrorCode acting = ActAsOwnerOf(path, taken); acting != ErrorCode::None) {
            return acting;
        }
        if (taken != 0) {
            Say("root directory " + path,
                ("belongs to user " + std::to_string(taken) + ": this process acts as that user").c_str());
        }
        if (const ErrorCode opened = RootDirectory::Open(path, root_); opened != ErrorCode::None) {
            return opened;
        }
    }
    root = root_.get();
    return ErrorCode::None;
}

RootDirectory::Keeping KernelState::KeepRootNames() {
    RootDirectory* root = nullptr;
    {
        std::lock_guard lock(mutex_);
        root = root_.get();
    }
    return root != nullptr ? root->KeepOwnNames() : RootDirectory::Keeping::Kept;
}

std::array<std::uint8_t, kExceptionSettingsSize> KernelState::ExceptionSettings() {
    std::lock_guard lock(mutex_);
    return exceptionSettings_;
}

void KernelState::SetExceptionSettings(const std::uint8_t* settings) {
    std::lock_guard lock(mutex_);
    std::memcpy(exceptionSettings_.data(), settings, kExceptionSettingsSize);
}

}  // namespace hosted
