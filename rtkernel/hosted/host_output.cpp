// Bounded writes to the standard streams and one-line host-failure diagnostics.
#include "rtkernel/hosted/host_output.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "rtkernel/hosted/notification_signals.h"

namespace hosted {
namespace {

constexpr auto kDiagnosticPatience = std::chrono::milliseconds(500);
constexpr int kTerminationCheckMs = 100;

int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, 1 << 30));
}

// Readiness for writing promises room for at least PIPE_BUF bytes on a pipe
// and a socket's low-water mark, so a chunk no larger never blocks the writer.
// 0 when writable, or failed (the write then says how); EAGAIN when the time
// ran out; otherwise the error poll got.
// A pending termination ends the wait too, within a slice: the process is on
// its way to its orderly end, and a line the reader does not take at once is
// dropped rather than allowed to hold that end up.
int WaitUntilWritable(int fd, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        pollfd ready = {fd, POLLOUT, 0};
        const int result = poll(&ready, 1, std::min(MillisecondsLeft(deadline), kTerminationCheckMs));
        if (result > 0) {
            return 0;
        }
        if (result < 0 && errno != EINTR) {
            return errno;
        }
        if (MillisecondsLeft(deadline) == 0 || TerminationPending()) {
            return EAGAIN;
        }
    }
}

// strerror's buffer is shared between threads; the description table is not.
// The symbolic name goes with the text, so that an operator can search for it.
std::string ErrorDescription(int error) {
    const char* text = strerrordesc_np(error);
    const char* symbol = strerrorname_np(error);
    std::string description = text != nullptr ? text : "Unknown error " + std::to_string(error);
    if (symbol != nullptr) {
        description += std::string(" (") + symbol + ")";
    }
    return description;
}

}  // namespace

int WriteWithin(int fd, const char* data, std::size_t size, std::chrono::milliseconds patience) {
    return WriteWithin(fd, StreamWrites::AskFirst, data, size, patience);
}

// The devices that take every write at once.
bool NeverBlockingDevice(const struct stat& status) {
    return S_ISCHR(status.st_mode) && major(status.st_rdev) == 1 &&
           (minor(status.st_rdev) == 3 || minor(status.st_rdev) == 7);
}

StreamWrites PrepareBoundedWrites(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        return StreamWrites::AskFirst;
    }
    if (S_ISREG(status.st_mode) || NeverBlockingDevice(status)) {
        return StreamWrites::NeverBlock;
    }
    if (S_ISSOCK(status.st_mode)) {
        return StreamWrites::SocketSends;
    }
    if (!S_ISFIFO(status.st_mode)) {
        return StreamWrites::AskFirst;
    }
    // Without /proc, or with no descriptor to spare, the pipe is asked first.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const int own = open(self.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (own < 0) {
        return StreamWrites::AskFirst;
    }
    const bool replaced = dup2(own, fd) == fd;
    close(own);
    return replaced ? StreamWrites::SayWhenFull : StreamWrites::AskFirst;
}

int WriteWithin(int fd, StreamWrites writes, const char* data, std::size_t size,
                std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (size > 0) {
        if (writes == StreamWrites::AskFirst) {
            if (const int unwritable = WaitUntilWritable(fd, deadline); unwritable != 0) {
                return unwritable;
            }
        }
        const std::size_t chunk = std::min<std::size_t>(size, PIPE_BUF);
        const ssize_t written = writes == StreamWrites::SocketSends
                                    ? send(fd, data, chunk, MSG_DONTWAIT | MSG_NOSIGNAL)
                                    : write(fd, data, chunk);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                return errno;
            }
            if (writes != StreamWrites::AskFirst) {
                if (const int unwritable = WaitUntilWritable(fd, deadline); unwritable != 0) {
                    return unwritable;
                }
            }
            continue;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

void DiagnoseHostFailure(const std::string& subject, const char* action, int error) {
    static std::mutex mutex;
    static std::set<std::string> said;
    std::string line = std::string(program_invocation_short_name) + ": " + subject + ": " + action;
    if (error != 0) {
        line += ": " + ErrorDescription(error);
    }
    line += "\n";
    {
        std::lock_guard lock(mutex);
        if (!said.insert(line).second) {
            return;
        }
    }
    (void)WriteWithin(STDERR_FILENO, line.data(), line.size(), kDiagnosticPatience);
}

}  // namespace hosted
