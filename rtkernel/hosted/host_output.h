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

// How writes to a stream are kept bounded. Asking first (poll) costs a system
// call per write; a stream that cannot block, or that says so itself when it
// is full, needs asking only then.
enum class StreamWrites {
    NeverBlock,   // a regular file, /dev/null, /dev/full
    SayWhenFull,  // a pipe or FIFO, reopened non-blocking for this process alone
    SocketSends,  // a socket, sent to without waiting
    AskFirst,     // a terminal, or anything not known
};
// Readies fd for bounded writes: a pipe or FIFO is replaced, under the same
// number, by a non-blocking opening of its own, so the processes that share
// the original keep it blocking. Costs no descriptor.
StreamWrites PrepareBoundedWrites(int fd);
int WriteWithin(int fd, StreamWrites writes, const char* data, std::size_t size,
                std::chrono::milliseconds patience);

// One line on stderr, "<program>: <subject>: <action>: <system error text>",
// or without the last part when error is 0 (a refusal that no system call
// reported), written once per distinct line, so that an operator sees what was tried,
// where, and what the operating system said, without a flood of repeats.
void DiagnoseHostFailure(const std::string& subject, const char* action, int error);
// The same for what the operator should know although nothing failed: which
// directory the process registered in, whose identity it took.
inline void Say(const std::string& subject, const char* what) {
    DiagnoseHostFailure(subject, what, 0);
}

}  // namespace hosted
