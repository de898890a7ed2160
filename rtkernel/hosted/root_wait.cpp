// Waiting for a name: asleep on directory events, never polling, and looking
// again once the watch is in place so that nothing appearing meanwhile is missed.
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "rtkernel/hosted/names.h"
#include "rtkernel/hosted/root_directory.h"

namespace hosted {

ErrorCode RootDirectory::WaitUntilLive(const char* name, std::uint32_t waitMs) {
    if (!ValidName(name)) {
        return ErrorCode::BadName;
    }
    std::shared_ptr<RootEntry> found;
    bool live = false;
    const auto settled = [&found, &live](ErrorCode looked) {
        live = looked == ErrorCode::None && found->LiveType() != 0;
        return live || (looked != ErrorCode::None && looked != ErrorCode::NameNotFound);
    };
    const ErrorCode result = WaitForEntry(name, waitMs, found, settled);
    if (result == ErrorCode::None || result == ErrorCode::NameNotFound) {
        return live ? ErrorCode::None : ErrorCode::TimedOut;
    }
    return result;
}

// Sleeps on directory events rather than polling, so a long wait costs nothing.
ErrorCode RootDirectory::WaitForEntry(const char* name, std::uint32_t waitMs,
                                      std::shared_ptr<RootEntry>& found,
                                      const std::function<bool(ErrorCode)>& settled) const {
    UniqueFd events(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!events.Valid()) {
        return HostFailure("cannot watch", errno);
    }
    if (inotify_add_watch(events.Get(), path_.c_str(), IN_CREATE | IN_MOVED_TO) < 0) {
        return HostFailure("cannot watch", errno);
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        // Looked up again after the watch is in place, so a name that appeared
        // in between is not missed.
        const ErrorCode result = LookupOnce(name, found);
        if (settled(result)) {
            return result;
        }
        int timeoutMs = -1;
        if (waitMs != kWaitForever) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                return result;
            }
            timeoutMs = static_cast<int>(std::min<long long>(left, 1 << 30));
        }
        struct pollfd ready = {events.Get(), POLLIN, 0};
        if (poll(&ready, 1, timeoutMs) < 0 && errno != EINTR) {
            return HostFailure("cannot wait for", errno, name);
        }
        char drained[4096];
        while (read(events.Get(), drained, sizeof drained) > 0) {
        }
    }
}

}  // namespace hosted
