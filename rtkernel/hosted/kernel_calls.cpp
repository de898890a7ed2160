// The kernel calls, as the service process sees them: each checks its
// arguments, does its work on the kernel state and reports failure through the
// caller's last error.
#include <time.h>

#include <cerrno>
#include <cstring>

#include "rtkernel/hosted/errors.h"
#include "rtkernel/hosted/kernel_state.h"
#include "rtkernel/hosted/notifications.h"
#include "rtkernel/hosted/root_handles.h"
#include "rtkernel/hosted/service_manager.h"
#include "rtkernel/kernel.h"

namespace hosted {
namespace {

KernelState& Kernel() {
    return KernelState::Instance();
}

std::uint16_t TypeOf(const KernelObject& object) {
    switch (object.kind) {
        case ObjectKind::Thread:
            return static_cast<std::uint16_t>(RtObjectType::Thread);
        case ObjectKind::Process:
        case ObjectKind::RootProcess:
            return static_cast<std::uint16_t>(RtObjectType::Process);
        case ObjectKind::Mailbox:
            return static_cast<std::uint16_t>(RtObjectType::Mailbox);
        case ObjectKind::Memory:
            return static_cast<std::uint16_t>(RtObjectType::Memory);
        case ObjectKind::RootEntry:
            return object.rootEntry->LiveType();
    }
    return 0;
}

// Where a directory call goes: process 0 and the caller's own handle name the
// caller's directory, the root process's handle the root directory (opened on
// first use); any other handle is refused with its own error.
struct DirectoryOfCall {
    RootDirectory* root = nullptr;  // null: the caller's own directory
};

ErrorCode FindDirectory(Handle process, DirectoryOfCall& directory) {
    if (process == kNoHandle || process == Kernel().Self()) {
        return ErrorCode::None;
    }
    if (process == Kernel().RootProcess()) {
        return Kernel().Root(directory.root);
    }
    return Kernel().Handles().Find(process) ? ErrorCode::WrongObjectType : ErrorCode::BadHandle;
}

// Objects of another kind are refused with their own error, so that a mixed-up
// handle is told apart from one that does not exist.
ErrorCode FindObjectOfKind(Handle handle, ObjectKind kind) {
    const auto object = Kernel().Handles().Find(handle);
    if (!object) {
        return ErrorCode::BadHandle;
    }
    return object->kind == kind ? ErrorCode::None : ErrorCode::WrongObjectType;
}

bool Succeeds(ErrorCode result) {
    if (result == ErrorCode::None) {
        return true;
    }
    SetLastError(result);
    return false;
}

bool PauseUntil(const timespec& deadline) {
    int result = 0;
    while ((result = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr)) == EINTR) {
    }
    return result == 0;
}

}  // namespace
}  // namespace hosted

using namespace hosted;

extern "C" {

Handle GetRtThreadHandles(std::uint8_t selector) {
    switch (selector) {
        case kSelectCallingThread: {
            const Handle thread = Kernel().CallingThread();
            return thread != kBadHandle ? thread : Fail(ErrorCode::HandleTableFull, kBadHandle);
        }
        case kSelectCallingProcess:
            return Kernel().Self();
        case kSelectRootProcess:
            return Kernel().RootProcess();
        default:
            return Fail(ErrorCode::BadParameter, kBadHandle);
    }
}

bool CopyRtSystemInfo(std::uint8_t* info) {
    if (info == nullptr) {
        return Fail(ErrorCode::BadParameter, false);
    }
    std::memset(info, 0, kSystemInfoSize);
    info[kLowLevelTickOffset] = kLowLevelTick & 0xFF;
    info[kLowLevelTickOffset + 1] = kLowLevelTick >> 8;
    return true;
}

// The limit is checked and kept; the host's own scheduling is left as it is.
bool SetRtProcessMaxPriority(Handle process, std::uint8_t priority) {
    if (process != kNoHandle && process != Kernel().Self()) {
        return Fail(Kernel().Handles().Find(process) ? ErrorCode::NotPermitted : ErrorCode::BadHandle, false);
    }
    Kernel().SetPriorityLimit(priority);
    return true;
}

bool CatalogRtHandle(Handle process, Handle object, const char* name) {
    DirectoryOfCall directory;
    if (!Succeeds(FindDirectory(process, directory))) {
        return false;
    }
    const auto target = Kernel().Handles().Find(object);
    if (!target) {
        return Fail(ErrorCode::BadHandle, false);
    }
    if (target->kind == ObjectKind::RootEntry) {
        return Fail(ErrorCode::WrongObjectType, false);  // another process's object is not ours to name
    }
    return Succeeds(directory.root != nullptr ? directory.root->Catalog(name, TypeOf(*target), object)
                                              : Kernel().Local().Catalog(name, object));
}

Handle LookupRtHandle(Handle process, const char* name, std::uint32_t waitMs) {
    DirectoryOfCall directory;
    Handle found = kBadHandle;
    if (!Succeeds(FindDirectory(process, directory))) {
        return kBadHandle;
    }
    if (directory.root == nullptr) {
        return Succeeds(Kernel().Local().Lookup(name, waitMs, found)) ? found : kBadHandle;
    }
    std::shared_ptr<RootEntry> entry;
    const bool handed = Succeeds(directory.root->Lookup(name, waitMs, entry)) &&
                        Succeeds(HandleForRootEntry(Kernel().Handles(), entry, found));
    return handed ? found : kBadHandle;
}

std::uint16_t GetRtHandleType(Handle handle) {
    const auto object = Kernel().Handles().Find(handle);
    if (!object) {
        return Fail(ErrorCode::BadHandle, std::uint16_t{0});
    }
    return TypeOf(*object);
}

bool UncatalogRtHandle(Handle process, const char* name) {
    DirectoryOfCall directory;
    if (!Succeeds(FindDirectory(process, directory))) {
        return false;
    }
    if (directory.root == nullptr) {
        return Succeeds(Kernel().Local().Uncatalog(name));
    }
    FileId removed;
    if (!Succeeds(directory.root->Uncatalog(name, removed))) {
        return false;
    }
    ForgetRootEntry(Kernel().Handles(), removed);
    return true;
}

bool RtNotifyEvent(std::uint32_t mask, std::uint32_t waitMs, std::uint8_t* notification) {
    if (notification == nullptr) {
        return Fail(ErrorCode::BadParameter, false);
    }
    if (Kernel().FirstWait()) {
        NotifyServiceManager("READY=1");
    }
    std::uint32_t type = 0;
    if (!Succeeds(WaitForNotification(mask, waitMs, type))) {
        return false;
    }
    if (type == kTerminationCode) {
        NotifyServiceManager("STOPPING=1");
    }
    std::memset(notification, 0, kNotificationSize);
    std::memcpy(notification, &type, sizeof type);
    return true;
}

// Sleeps the full time: an interruption resumes towards the same deadline.
bool RtSleep(std::uint32_t milliseconds) {
    timespec deadline{};
    if (clock_gettime(CLOCK_MONOTONIC, &deadline) != 0) {
        return Fail(ErrorCode::HostFailure, false);
    }
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1'000'000;
    if (deadline.tv_nsec >= 1'000'000'000) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1'000'000'000;
    }
    return PauseUntil(deadline) || Fail(ErrorCode::HostFailure, false);
}

// The handle goes; the host thread behind it is not stopped, as a host thread
// cannot be ended safely from outside.
bool DeleteRtThread(Handle thread) {
    return Succeeds(FindObjectOfKind(thread, ObjectKind::Thread)) && Kernel().Handles().Remove(thread);
}

bool DeleteRtMemoryHandle(Handle memory) {
    return Succeeds(FindObjectOfKind(memory, ObjectKind::Memory)) && Kernel().Handles().Remove(memory);
}

// This kernel hands out no memory regions, so no address names one.
std::uint32_t FreeRtMemory(std::uint32_t /*base*/) {
    return Fail(ErrorCode::BadAddress, std::uint32_t{0});
}

std::uint32_t GetLastRtError() {
    return LastError();
}

const char* GetRtErrorText(std::uint32_t code) {
    return ErrorText(code);
}

bool GetRtExceptionHandlerInfo(std::uint8_t selector, std::uint8_t* settings) {
    if (selector != 0 || settings == nullptr) {
        return Fail(ErrorCode::BadParameter, false);
    }
    const auto current = Kernel().ExceptionSettings();
    std::memcpy(settings, current.data(), current.size());
    return true;
}

bool SetRtExceptionHandler(const std::uint8_t* settings) {
    if (settings == nullptr) {
        return Fail(ErrorCode::BadParameter, false);
    }
    Kernel().SetExceptionSettings(settings);
    return true;
}

// The exit mailbox takes only the 4-byte termination code, and turns it into
// the termination notification of the process's wait.
bool SendRtData(Handle mailbox, const void* data, std::uint32_t length) {
    if (!Succeeds(FindObjectOfKind(mailbox, ObjectKind::Mailbox))) {
        return false;
    }
    if (data == nullptr) {
        return Fail(ErrorCode::BadParameter, false);
    }
    if (length != sizeof kTerminationMessage || std::memcmp(data, kTerminationMessage, length) != 0) {
        return Fail(ErrorCode::BadMessage, false);
    }
    return Succeeds(PostTermination());
}

}  // extern "C"
