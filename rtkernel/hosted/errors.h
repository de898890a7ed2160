// Every error code the hosted kernel reports, its text, and the calling
// thread's last error.
//
// The hosted kernel has one error convention per layer:
//  - A function that wraps system calls (a lock, a link, an examination, a
//    write) returns an int: 0 on success, otherwise the errno value that
//    says what went wrong (ETIMEDOUT and EINTR for a bounded wait that ran
//    out or gave way to a termination). It never returns bool with errno
//    left to be read, which the next call could overwrite.
//  - Everything above returns an ErrorCode, with what it yields in
//    out-parameters. Where a system call's error becomes an ErrorCode, the
//    call, the path and the errno go to stderr once (DiagnoseHostFailure).
//  - The kernel calls (kernel.h) return what their fixed signatures say and
//    record the ErrorCode as the calling thread's last error (Fail).
#pragma once

#include <cstdint>

namespace hosted {

enum class ErrorCode : std::uint32_t {
    None = 0x00,
    BadHandle = 0x01,
    WrongObjectType = 0x02,
    BadParameter = 0x03,
    BadName = 0x04,
    NameTaken = 0x05,
    NameNotFound = 0x06,
    NotOwner = 0x07,
    TimedOut = 0x08,
    HandleTableFull = 0x09,
    NotPermitted = 0x0A,
    BadMessage = 0x0B,
    BadAddress = 0x0C,
    RootUnavailable = 0x10,
    RootNotDirectory = 0x11,
    RootNotOwned = 0x12,
    RootWritableByOthers = 0x13,
    RootNotWritable = 0x14,
    HostFailure = 0x15,
    NotAnEntry = 0x16,
    RootBusy = 0x17,
    Interrupted = 0x18,
    NotARootDirectory = 0x19,
    Unreadable = 0x1A,
    NotKernelEntry = 0x1B,
    NameLost = 0x1C,
};

const char* ErrorText(std::uint32_t code);

void SetLastError(ErrorCode code);
std::uint32_t LastError();

// Records the code as the caller's last error and yields the failed result, so
// that a call fails in one statement: `return Fail(ErrorCode::BadHandle, false);`.
template <typename Result>
Result Fail(ErrorCode code, Result failed) {
    SetLastError(code);
    return failed;
}

}  // namespace hosted
