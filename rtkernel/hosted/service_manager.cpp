// Service-manager notification over its datagram socket, never blocking the service.
#include "rtkernel/hosted/service_manager.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "rtkernel/hosted/errors.h"
#include "rtkernel/hosted/host_output.h"
#include "rtkernel/hosted/unique_fd.h"

namespace hosted {
namespace {

// A manager that does not drain its socket gets this long per message; past
// it the message is dropped, so a stuck manager can never keep the service
// from starting to wait or from ending.
constexpr int kManagerPatienceMs = 250;

constexpr std::string_view kReady = "READY=1";
// A status is one line of a unit's status; a longer report is cut there.
constexpr std::size_t kMaxStatusLength = 512;

// What the process told, or will tell, the manager of its start.
struct StartReport {
    std::mutex mutex;
    bool ready = false;
    std::string line;          // the console line being written, up to its break
    std::string previousLine;  // the whole line before it
    std::string failure;       // the console's report of the failure, as one line
};

StartReport& Start() {
    static StartReport report;
    return report;
}

// Control characters become spaces, and a status is cut at its length.
std::string Printable(std::string_view text) {
    std::string printable(text.substr(0, kMaxStatusLength));
    for (char& character : printable) {
        const auto value = static_cast<unsigned char>(character);
        if (value < 0x20 || value == 0x7F) {
            character = ' ';
        }
    }
    return printable;
}

// A failure report is the message and, on the next line, the error, whose text
// the writing thread got last: that is how it is told from the stage lines.
void NoteLine(StartReport& report, const std::string& line, std::uint32_t error) {
    if (error != 0 && line.find(ErrorText(error)) != std::string::npos) {
        report.failure = Printable(report.previousLine.empty() ? line : report.previousLine + ": " + line);
    }
    report.previousLine = line;
}

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
    if (state == kReady) {
        const std::lock_guard lock(Start().mutex);
        Start().ready = true;
    }
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

// The console's lines may reach it whole, several at once or in parts.
void NoteConsoleText(const char* data, std::size_t size) {
    const std::uint32_t error = LastError();
    const std::lock_guard lock(Start().mutex);
    StartReport& report = Start();
    for (std::string_view text(data, size); !report.ready && !text.empty();) {
        const std::size_t lineBreak = text.find('\n');
        report.line += text.substr(0, lineBreak);
        report.line.resize(std::min(report.line.size(), kMaxStatusLength));
        if (lineBreak == std::string_view::npos) {
            return;
        }
        if (!report.line.empty()) {
            NoteLine(report, report.line, error);
        }
        report.line.clear();
        text.remove_prefix(lineBreak + 1);
    }
}

void TellServiceManagerOfEarlyEnd() {
    std::string status;
    {
        const std::lock_guard lock(Start().mutex);
        if (Start().ready || Start().failure.empty()) {
            return;
        }
        status = "STATUS=" + Start().failure;
    }
    NotifyServiceManager(status.c_str());
}

}  // namespace hosted
