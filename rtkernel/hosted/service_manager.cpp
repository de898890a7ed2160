#include "rtkernel/hosted/service_manager.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "rtkernel/hosted/unique_fd.h"

namespace hosted {
namespace {

std::atomic<bool> failureReported{false};

void ReportUnreachable(const char* socketName, int error) {
    if (!failureReported.exchange(true)) {
        errno = error;
        (void)std::fprintf(stderr, "zorvandelith: cannot notify the service manager at %s: %m\n", socketName);
    }
}

}  // namespace

void NotifyServiceManager(const char* state) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): nothing in the process writes its environment
    const char* socketName = std::getenv("NOTIFY_SOCKET");
    if (socketName == nullptr || socketName[0] == '\0') {
        return;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(socketName);
    if ((socketName[0] != '/' && socketName[0] != '@') || length >= sizeof address.sun_path) {
        ReportUnreachable(socketName, EINVAL);
        return;
    }
    std::memcpy(address.sun_path, socketName, length);
    if (address.sun_path[0] == '@') {
        address.sun_path[0] = '\0';  // abstract namespace
    }
    UniqueFd sender(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sender.Valid()) {
        ReportUnreachable(socketName, errno);
        return;
    }
    const auto addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    if (sendto(sender.Get(), state, std::strlen(state), MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&address), addressLength) < 0) {
        ReportUnreachable(socketName, errno);
    }
}

}  // namespace hosted
