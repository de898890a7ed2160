// Service-manager notification over its datagram socket, never blocking the service.
#include "rtkernel/hosted/service_manager.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "rtkernel/hosted/host_output.h"
#include "rtkernel/hosted/unique_fd.h"

namespace hosted {
namespace {

// A manager that does not drain its socket gets this long per message; past
// it the message is dropped, so a stuck manager can never keep the service
// from starting to wait or from ending.
constexpr int kManagerPatienceMs = 250;

void ReportUnreachable(const char* socketName, const char* action, int error) {
    DiagnoseHostFailure(std::string("service manager socket ") + socketName, action, error);
}

// Connected, the socket reports writable only while the manager's queue has
// room, which is what the bounded wait below needs.
bool ConnectTo(const char* socketName, UniqueFd& sender) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(socketName);
    if ((socketName[0] != '/' && socketName[0] != '@') || length >= sizeof address.sun_path) {
        ReportUnreachable(socketName, "not a socket path or abstract name", EINVAL);
        return false;
    }
    std::memcpy(address.sun_path, socketName, length);
    if (address.sun_path[0] == '@') {
        address.sun_path[0] = '\0';  // abstract namespace
    }
    sender.Reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!sender.Valid()) {
        ReportUnreachable(socketName, "cannot create a socket", errno);
        return false;
    }
    const auto addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    if (connect(sender.Get(), reinterpret_cast<const sockaddr*>(&address), addressLength) != 0) {
        ReportUnreachable(socketName, "cannot connect", errno);
        return false;
    }
    return true;
}

}  // namespace

void NotifyServiceManager(const char* state) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): nothing in the process writes its environment
    const char* socketName = std::getenv("NOTIFY_SOCKET");
    if (socketName == nullptr || socketName[0] == '\0') {
        return;
    }
    UniqueFd sender;
    if (!ConnectTo(socketName, sender)) {
        return;
    }
    for (bool waited = false;; waited = true) {
        if (send(sender.Get(), state, std::strlen(state), MSG_NOSIGNAL) >= 0) {
            return;
        }
        if ((errno != EAGAIN && errno != EINTR) || waited) {
            ReportUnreachable(socketName, "cannot send, message dropped", errno);
            return;
        }
        pollfd room = {sender.Get(), POLLOUT, 0};
        (void)poll(&room, 1, kManagerPatienceMs);
    }
}

}  // namespace hosted
