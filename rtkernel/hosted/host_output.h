// Everything the hosted kernel itself writes to the standard streams: the
// console's bounded writes and the one-line diagnostics of host failures.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace hosted {

// Writes all of data to fd unless the reader takes nothing for `patience`.
// 0 when all of it was written; EAGAIN when the reader stalled that long;
// otherwise the error the write itself got (EPIPE for a reader that is gone,
// ENOSPC for a full file system, ...). Never blocks longer.
int WriteWithin(int fd, const char* data, std::size_t size, std::chrono::milliseconds patience);

// One line on stderr, "<program>: <subject>: <action>: <system error text>",
// or without the last part when error is 0 (a refusal that no system call
// reported), written once per distinct line, so that an operator sees what was tried,
// where, and what the operating system said, without a flood of repeats.
void DiagnoseHostFailure(const std::string& subject, const char* action, int error);

}  // namespace hosted
