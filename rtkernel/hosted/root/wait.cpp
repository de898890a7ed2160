// Waiting for a name: asleep on directory events, looking again once a watch
// is in place so that nothing appearing meanwhile is missed. Where the kernel
// refuses a watch (out of instances, watches or memory), the wait looks again
// after a short interval instead: slower to notice, but never failing a wait
// that a look can answer.
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>

#include "rtkernel/hosted/host_output.h"
#include "rtkernel/hosted/names.h"
#include "rtkernel/hosted/root/inspection.h"
#include "rtkernel/hosted/root/path.h"

namespace hosted {
namespace {

using Clock = std::chrono::steady_clock;

// How often a wait without a watch looks again.
constexpr auto kLookInterval = std::chrono::milliseconds(200);
constexpr std::uint32_t kNameArrives = IN_CREATE | IN_MOVED_TO;
// A name goes when its entry is removed or renamed away; a holder that dies
// leaves its entry, so its process is watched as well.
constexpr std::uint32_t kNameGoes = IN_DELETE | IN_MOVED_FROM;
// A directory held open reports its removal only once it is closed, so a wait
// that must see its directory go holds no descriptor of it while asleep.
constexpr std::uint32_t kDirectoryGoes = IN_DELETE_SELF | IN_MOVE_SELF;

class Deadline {
public:
    explicit Deadline(std::uint32_t waitMs)
        : forever_(waitMs == kWaitForever), at_(Clock::now() + std::chrono::milliseconds(waitMs)) {}

    bool Passed() const { return !forever_ && Clock::now() >= at_; }
    // For poll: what is left, no more than `cap` when there is one; -1 for no limit.
    int TimeoutMs(std::optional<std::chrono::milliseconds> cap) const {
        long long left = cap ? static_cast<long long>(cap->count()) : -1;
        if (!forever_) {
            const long long remaining =
                std::chrono::ceil<std::chrono::milliseconds>(at_ - Clock::now()).count();
            left = std::clamp<long long>(left < 0 ? remaining : std::min(left, remaining), 0, 1 << 30);
        }
        return static_cast<int>(left);
    }

private:
    bool forever_;
    Clock::time_point at_;
};

// One inotify instance and what it watches; without one, a sleep of the look
// interval stands in for its events.
class DirectoryEvents {
public:
    // 0 once the directory at path is watched, or the operating system's
    // error. A refusal of the kernel's (ENOENT and ENOTDIR aside, which say the
    // directory is not there to watch) is said once on stderr.
    int Watch(const std::string& path, std::uint32_t events) {
        if (!events_.Valid()) {
            events_.Reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
            if (!events_.Valid()) {
                return Refused(path, errno);
            }
        }
        if (inotify_add_watch(events_.Get(), path.c_str(), events | IN_ONLYDIR) < 0) {
            const int error = errno;
            return error == ENOENT || error == ENOTDIR ? error : Refused(path, error);
        }
        watching_ = true;
        return 0;
    }

    // A holder's death removes nothing from the directory, so a wait for a
    // name to go watches the holder's process too: its pidfd reads ready
    // when it ends. Where none can be had, the look interval stands in. A
    // process that has ended already needs no watch: the next look sees it.
    void WatchProcess(std::int64_t pid) {
        // By number: this C library's header declares the call without C linkage.
        process_.Reset(static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0U)));
        if (!process_.Valid() && errno != ESRCH) {
            processUnwatched_ = true;
            const std::string action =
                "cannot watch, looking every " + std::to_string(kLookInterval.count()) + " ms instead";
            DiagnoseHostFailure("holder process " + std::to_string(pid), action.c_str(), errno);
        }
    }

    // Until something was reported (or `awaitedProcess`, a pidfd, ended), the
    // look interval passed when something is not watched, or the deadline
    // came. 0, or the operating system's error.
    int Sleep(const Deadline& deadline, int awaitedProcess) const {
        struct pollfd ready[3] = {};
        nfds_t watched = 0;
        for (const int fd : {watching_ ? events_.Get() : -1, process_.Get(), awaitedProcess}) {
            if (fd >= 0) {
                ready[watched++] = {fd, POLLIN, 0};
            }
        }
        const bool interval = !watching_ || processUnwatched_;
        const int timeoutMs = deadline.TimeoutMs(
            interval ? std::optional<std::chrono::milliseconds>(kLookInterval) : std::nullopt);
        if (poll(watched > 0 ? ready : nullptr, watched, timeoutMs) < 0 && errno != EINTR) {
            return errno;
        }
        return 0;
    }

    // Empties the queue, so that the next sleep waits for what comes after.
    void Drain() const {
        char drained[4096];
        while (watching_ && read(events_.Get(), drained, sizeof drained) > 0) {
        }
    }

private:
    static int Refused(const std::string& path, int error) {
        const std::string action =
            "cannot watch, looking every " + std::to_string(kLookInterval.count()) + " ms instead";
        DiagnoseHostFailure("root directory " + path, action.c_str(), error);
        return error;
    }

    UniqueFd events_;
    bool watching_ = false;
    UniqueFd process_;
    bool processUnwatched_ = false;
};

// The root directory itself, or while it is missing its parent, so that the
// directory's arrival is seen; where neither is there, nothing: the wait
// then looks again at every interval.
void WatchDirectoryOrParent(DirectoryEvents& events, const std::string& path, std::uint32_t nameEvents) {
    const int watched = events.Watch(path, nameEvents | kDirectoryGoes | IN_DONT_FOLLOW);
    if (watched == ENOENT || watched == ENOTDIR) {
        (void)events.Watch(ParentOf(path), kNameArrives | kDirectoryGoes);
    }
}

// Whether what is awaited stands at the name in the directory at path, by
// opening it afresh, so that a directory made again since the last look is
// the one looked at. NameNotFound while it does not, None once it does, or
// the error that ends the wait. A directory that is not there holds no name.
ErrorCode LookFor(const std::string& path, const char* name, const Awaited& awaited, std::int64_t& holder) {
    holder = 0;
    std::unique_ptr<RootDirectory> root;
    const ErrorCode opened = RootDirectory::OpenExisting(path, root);
    EntryReport report;
    ErrorCode described = ErrorCode::NameNotFound;  // while the directory is not there
    if (opened != ErrorCode::None && opened != ErrorCode::NameNotFound) {
        // Removed between its examination and its opening: not there.
        struct stat status {};
        if (lstat(path.c_str(), &status) == 0 || errno != ENOENT) {
            return opened;
        }
    } else if (opened == ErrorCode::None) {
        described = Describe(*root, name, report);
        if (described != ErrorCode::None && described != ErrorCode::NameNotFound) {
            return described;
        }
    }
    const bool live = described == ErrorCode::None && report.state == EntryReport::State::Live;
    holder = live ? report.pid : 0;
    const bool held = live && (awaited.pid == 0 || report.pid == awaited.pid);
    // An entry whose holder cannot be told is not known to be gone.
    const bool unknown = described == ErrorCode::None && report.state == EntryReport::State::Unknown;
    const bool there = awaited.live ? held : !held && !unknown;
    return there ? ErrorCode::None : ErrorCode::NameNotFound;
}

}  // namespace

namespace {

// The one process a wait for a holder by pid waits for, opened once, so that
// its end is seen and the wait ends with it, and a process that later takes
// the same number is not mistaken for it. Where the kernel gives no handle
// on processes, the wait runs to its time as before.
struct AwaitedProcess {
    explicit AwaitedProcess(const Awaited& awaited) {
        if (awaited.live && awaited.pid > 0) {
            process.Reset(static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(awaited.pid), 0U)));
            endedBefore = !process.Valid() && errno == ESRCH;
        }
    }
    bool Ended() const {
        struct pollfd ended = {process.Get(), POLLIN, 0};
        return endedBefore || (process.Valid() && poll(&ended, 1, 0) == 1);
    }

    UniqueFd process;
    bool endedBefore = false;
};

}  // namespace

// Each round watches, then looks, then sleeps until something changes: a
// change after the watch wakes it, one before is seen by the look. The first
// look comes before any watch, so what already holds costs none. A holder's
// death removes nothing, but closes its entry, which the watch reports too.
ErrorCode WaitForName(const std::string& path, const char* name, const Awaited& awaited,
                      std::uint32_t waitMs) {
    if (!ValidName(name)) {
        return ErrorCode::BadName;
    }
    const Deadline deadline(waitMs);
    const std::string directory = WithoutTrailingSelfReferences(path);
    const AwaitedProcess process(awaited);
    std::int64_t holder = 0;
    if (const ErrorCode first = LookFor(directory, name, awaited, holder); first != ErrorCode::NameNotFound) {
        return first;
    }
    for (;;) {
        DirectoryEvents events;  // afresh each round: the directory watched may have been replaced
        WatchDirectoryOrParent(events, directory, awaited.live ? kNameArrives : kNameGoes);
        ErrorCode looked = LookFor(directory, name, awaited, holder);
        if (looked == ErrorCode::NameNotFound && !awaited.live && holder != 0) {
            // Looked at again once the holder is watched, so a death in
            // between is not missed.
            events.WatchProcess(holder);
            looked = LookFor(directory, name, awaited, holder);
        }
        if (looked != ErrorCode::NameNotFound) {
            return looked;
        }
        // Looked at after its end: what it did not hold then it never will.
        if (process.Ended()) {
            return ErrorCode::NotOwner;
        }
        if (deadline.Passed()) {
            return ErrorCode::TimedOut;
        }
        if (const int error = events.Sleep(deadline, process.process.Get()); error != 0) {
            DiagnoseHostFailure("root directory " + directory,
                                (std::string("cannot wait for ") + name).c_str(), error);
            return ErrorCode::HostFailure;
        }
    }
}

// The directory this one holds open, watched by its path; a wait that cannot
// watch looks again at every interval.
ErrorCode RootDirectory::WaitForEntry(const char* name, std::uint32_t waitMs,
                                      std::shared_ptr<RootEntry>& found,
                                      const std::function<bool(ErrorCode)>& settled) const {
    const Deadline deadline(waitMs);
    DirectoryEvents events;
    (void)events.Watch(path_, kNameArrives);
    for (;;) {
        // Looked up again after the watch is in place, so a name that appeared
        // in between is not missed.
        const ErrorCode result = LookupOnce(name, found);
        if (settled(result) || deadline.Passed()) {
            return result;
        }
        if (const int error = events.Sleep(deadline, -1); error != 0) {
            return HostFailure("cannot wait for", error, name);
        }
        events.Drain();
    }
}

}  // namespace hosted
