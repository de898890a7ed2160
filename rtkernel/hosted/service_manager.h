// Tells a supervising service manager, when there is one, how far the process
// has come. The datagram protocol is small and stable, so it is spoken directly.
#pragma once

#include <cstddef>

namespace hosted {

// Sends the state ("READY=1", "STOPPING=1") to the socket named by
// NOTIFY_SOCKET. Without the variable nothing is sent; a socket that cannot be
// reached is reported once on stderr and otherwise ignored.
void NotifyServiceManager(const char* state);

// Sees the console's text as it is written. Until the process is ready, the
// last write that reports the writing thread's last kernel error is kept: it
// is the failure that a process which ends before it is ready ended on.
void NoteConsoleText(const char* data, std::size_t size);

// At the exit, for a process that never reported READY=1: sends the kept
// failure as STATUS=, so that the manager shows why the start failed beside
// the exit it records. Nothing when the process was ready or reported no
// failure.
void TellServiceManagerOfEarlyEnd();

}  // namespace hosted
