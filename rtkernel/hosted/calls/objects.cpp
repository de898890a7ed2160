// The kernel calls on other objects: deleting threads and memory, and sending
// to a mailbox.
#include <cstring>

#include "rtkernel/hosted/calls/support.h"
#include "rtkernel/hosted/notifications.h"
#include "rtkernel/kernel.h"

namespace hosted {
namespace {

// Objects of another kind are refused with their own error, so that a mixed-up
// handle is told apart from one that does not exist.
ErrorCode FindObjectOfKind(Handle handle, ObjectKind kind) {
    const auto object = Kernel().Handles().Find(handle);
    if (!object) {
        return ErrorCode::BadHandle;
    }
    return object->kind == kind ? ErrorCode::None : ErrorCode::WrongObjectType;
}

}  // namespace
}  // namespace hosted

using namespace hosted;

extern "C" {

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
