// The kernel calls on other objects: deleting threads and memory, and sending
// to a mailbox.
#include <cstring>

#include "rtkernel/hosted/calls/support.h"
#include "rtkernel/hosted/deleted_threads.h"
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
// cannot be ended safely from outside. Every call is noted, to be said at exit:
// the service deletes a thread only when its worker's slot stayed full through
// the shutdown's whole wait.
bool DeleteRtThread(Handle thread) {
    const auto object = Kernel().Handles().Find(thread);
    if (!object || object->kind != ObjectKind::Thread) {
        NoteDeletedThread(thread, kNoHostThread);
        return Fail(object ? ErrorCode::WrongObjectType : ErrorCode::BadHandle, false);
    }
    // The thread may have ended, and taken its handle with it, since it was found.
    if (!Kernel().Handles().Remove(thread)) {
        NoteDeletedThread(thread, kNoHostThread);
        return Fail(ErrorCode::BadHandle, false);
    }
    NoteDeletedThread(thread, object->hostThread);
    return true;
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
