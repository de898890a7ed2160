// Bounded writes to the standard streams and one-line host-failure diagnostics.
#include "rtkernel/hosted/host_output.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>

namespace hosted {
namespace {

constexpr auto kDiagnosticPatience = std::chrono::milliseconds(500);

int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, 1 << 30));
}

// Readiness for writing promises room for at least PIPE_BUF bytes on a pipe
// and a socket's low-water mark, so a chunk no larger never blocks the writer.
// 0 when writable, or failed (the write then says how); EAGAIN when the time
// ran out; otherwise the error poll got.
int WaitUntilWritable(int fd, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        pollfd ready = {fd, POLLOUT, 0};
        const int result = poll(&ready, 1, MillisecondsLeft(deadline));
        if (result > 0) {
            return 0;
        }
        if (result == 0) {
            return EAGAIN;
        }
        if (errno != EINTR) {
            return errno;
        }
    }
}

// strerror's buffer is shared between threads; the description table is not.
const char* ErrorDescription(int error) {
    const char* text = strerrordesc_np(error);
    return text != nullptr ? text : "Unknown error";
}

}  // namespace

int WriteWithin(int fd, const char* data, std::size_t size, std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (size > 0) {
        if (const int unwritable = WaitUntilWritable(fd, deadline); unwritable != 0) {
            return unwritable;
        }
        const ssize_t written = write(fd, data, std::min<std::size_t>(size, PIPE_BUF));
        if (written < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return errno;
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
        line += std::string(": ") + ErrorDescription(error);
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
