// Tells a supervising service manager, when there is one, how far the process
// has come. The datagram protocol is small and stable, so it is spoken directly.
#pragma once

namespace hosted {

// Sends the state ("READY=1", "STOPPING=1") to the socket named by
// NOTIFY_SOCKET. Without the variable nothing is sent; a socket that cannot be
// reached is reported once on stderr and otherwise ignored.
void NotifyServiceManager(const char* state);

}  // namespace hosted
