// Error codes, their texts and each thread's last error.
#include "rtkernel/hosted/errors.h"

#include <cstdint>

namespace hosted {
namespace {

thread_local std::uint32_t lastError = 0;

}  // namespace

const char* ErrorText(std::uint32_t code) {
    switch (static_cast<ErrorCode>(code)) {
        case ErrorCode::None:
            return "No error";
        case ErrorCode::BadHandle:
            return "Bad handle: no such object";
        case ErrorCode::WrongObjectType:
            return "Handle names an object of another type";
        case ErrorCode::BadParameter:
            return "Bad parameter";
        case ErrorCode::BadName:
            return "Bad name: empty, too long, or containing '/' or control characters";
        case ErrorCode::NameTaken:
            return "Name is already catalogued";
        case ErrorCode::NameNotFound:
            return "Name not found";
        case ErrorCode::NotOwner:
            return "Name belongs to a live object of another process";
        case ErrorCode::TimedOut:
            return "Wait timed out";
        case ErrorCode::HandleTableFull:
            return "Handle table full";
        case ErrorCode::NotPermitted:
            return "Not permitted for another process";
        case ErrorCode::BadMessage:
            return "Mailbox refuses the message";
        case ErrorCode::BadAddress:
            return "No memory region at that address";
        case ErrorCode::RootUnavailable:
            return "Root directory cannot be created or opened";
        case ErrorCode::RootNotDirectory:
            return "Root directory is a symlink or not a directory";
        case ErrorCode::RootNotOwned:
            return "Root directory is owned by another user";
        case ErrorCode::RootWritableByOthers:
            return "Root directory is writable by group or others";
        case ErrorCode::RootNotWritable:
            return "Root directory cannot be written";
        case ErrorCode::HostFailure:
            return "Host system call failed";
        case ErrorCode::NotAnEntry:
            return "Name is taken by a directory, which is not an entry";
        case ErrorCode::RootBusy:
            return "Root directory is locked by a process that does not let go";
        case ErrorCode::Interrupted:
            return "Interrupted by a termination request";
        case ErrorCode::NotARootDirectory:
            return "Directory is not a root directory";
        case ErrorCode::Unreadable:
            return "Entry cannot be read, so whether its holder lives cannot be told";
        case ErrorCode::NotKernelEntry:
            return "Name holds something no kernel wrote, left for whoever put it there";
        case ErrorCode::NameLost:
            return "Name was removed and another process holds it now";
    }
    return "Unknown error code";
}

void SetLastError(ErrorCode code) {
    lastError = static_cast<std::uint32_t>(code);
}

std::uint32_t LastError() {
    return lastError;
}

}  // namespace hosted
