// How a holder keeps its names while it lives. Its entry can be removed from
// under it (by hand, or by a cleaner of /tmp that ages files out) and so can
// the whole directory; a second instance would then find the name free and two
// processes would each believe they hold it. The holder learns of every
// removal in the directory from the operating system, as a signal that waits
// for its notification wait, and looks at its names then: never otherwise, so
// a holder that nobody disturbs never wakes.
//
// The watch is the directory's own descriptor's (F_NOTIFY): it costs no
// descriptor, and it goes with the process at no cost, where an inotify
// instance would hold every stop up for a grace period of the kernel's.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <utility>

#include "rtkernel/hosted/host_output.h"
#include "rtkernel/hosted/root/directory.h"
#include "rtkernel/hosted/root/locks.h"
#include "rtkernel/hosted/root/path.h"

namespace hosted {
namespace {

std::atomic<int> removalSignal{0};

// Whatever takes a name out of the directory: a removal, or a rename away.
constexpr int kRemovals = DN_DELETE | DN_RENAME | DN_MULTISHOT;

// A removal seldom comes alone: `rm -rf` empties the directory and then
// removes it. The holder lets such a run of removals finish, until the
// directory has been quiet for a tenth of a second (half a second at most),
// so that it puts back what is gone instead of fighting the removal half way.
// The signals are only the occasion to look; what happened is read from the
// directory itself.
constexpr long kQuietNs = 100'000'000;
constexpr int kLongestQuietWaits = 5;

void LetRemovalsSettle(int signal) {
    sigset_t removals;
    sigemptyset(&removals);
    sigaddset(&removals, signal);
    const timespec quiet = {0, kQuietNs};
    for (int wait = 0; wait < kLongestQuietWaits; ++wait) {
        if (sigtimedwait(&removals, nullptr, &quiet) < 0 && errno != EINTR) {
            return;  // quiet for that long, or nothing more can be learnt by waiting
        }
    }
}

int Watch(int directory, int signal) {
    return fcntl(directory, F_SETSIG, signal) == 0 && fcntl(directory, F_NOTIFY, kRemovals) == 0 ? 0 : errno;
}

// Unblocked, the signal would end the process by its default action: a
// process that never blocked it (a tool, a test) gets no watch.
bool Blocked(int signal) {
    sigset_t current;
    return pthread_sigmask(SIG_BLOCK, nullptr, &current) == 0 && sigismember(&current, signal) == 1;
}

}  // namespace

void RootDirectory::NoticeRemovalsWith(int signal) {
    removalSignal.store(signal);
}

// Set up once, at the first name this process holds. Without it the names
// are still held; only their removal would go unnoticed, which stderr says.
// The directory's parent is watched too: a directory renamed away raises
// nothing in itself. What else happens in the parent costs one look.
void RootDirectory::WatchForRemovals() {
    const int signal = removalSignal.load();
    if (signal == 0 || watching_ || !Blocked(signal)) {
        return;
    }
    if (const int error = Watch(Fd(), signal); error != 0) {
        DiagnoseHostFailure(Subject(), "cannot watch for the removal of held names, which would go unnoticed",
                            error);
        return;
    }
    watching_ = true;
    parent_.Reset(open(ParentOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (const int error = parent_.Valid() ? Watch(parent_.Get(), signal) : errno; error != 0) {
        DiagnoseHostFailure(Subject(), "cannot watch for its being moved away, which would go unnoticed",
                            error);
    }
    // A removal or a rename between the link and the watch raised nothing:
    // looked for now, and handed to the wait as if it had.
    if (!AllInPlace()) {
        (void)kill(getpid(), signal);
    }
}

// The directory this process opened is still the one at the path.
bool RootDirectory::DirectoryStillStands() const {
    struct stat opened {};
    struct stat named {};
    return fstat(Fd(), &opened) == 0 && opened.st_nlink > 0 && lstat(path_.c_str(), &named) == 0 &&
           IdOf(opened) == IdOf(named);
}

// A new directory at the path, made and checked as at the start, and watched.
// It is empty: the caller puts the names back, and only then says so.
bool RootDirectory::MakeDirectoryAgain() {
    std::unique_ptr<RootDirectory> fresh;
    if (Open(path_, fresh) != ErrorCode::None) {
        return false;  // said on stderr by the open
    }
    std::shared_ptr<const UniqueFd> made = fresh->Directory();
    {
        std::lock_guard lock(directoryMutex_);
        retired_.push_back(std::exchange(directory_, std::move(made)));
    }
    if (const int error = watching_ ? Watch(Fd(), removalSignal.load()) : 0; error != 0) {
        DiagnoseHostFailure(Subject(), "cannot watch for the removal of held names, which would go unnoticed",
                            error);
    }
    return true;
}

// A new entry, written and linked as at the catalog, in place of the one
// removed; whatever has no live owner in the way goes, as at a start that
// claimed the name, since the name is this process's own.
ErrorCode RootDirectory::PutBack(const std::string& name, OwnedEntry& owned) {
    UniqueFd file;
    FileId id;
    notes_.Claim(name.c_str());
    const ErrorCode linked = WriteAndLink(name.c_str(), owned.type, owned.object, file, id);
    notes_.ForgetClaim(name.c_str());
    if (linked == ErrorCode::None) {
        owned = OwnedEntry{std::move(file), id, owned.type, owned.object};
    }
    return linked;
}

RootDirectory::Keeping RootDirectory::KeepName(const std::string& name, OwnedEntry& owned) {
    EntryStatus now;
    if (StatEntry(Fd(), name.c_str(), now) == 0 && now.id == owned.id) {
        return Keeping::Kept;
    }
    const ErrorCode put = PutBack(name, owned);
    if (put == ErrorCode::None) {
        DiagnoseHostFailure(
            Subject(), ("the entry of " + name + " was removed while this process held it: put back").c_str(),
            0);
        return Keeping::PutBack;
    }
    if (put == ErrorCode::NotOwner || put == ErrorCode::NameTaken || put == ErrorCode::NotAnEntry) {
        DiagnoseHostFailure(
            Subject(),
            ("the entry of " + name +
             " was removed while this process held it, and another holds the name now: ending")
                .c_str(),
            0);
    } else {
        DiagnoseHostFailure(Subject(),
                            ("the entry of " + name +
                             " was removed while this process held it, and cannot be put back: ending")
                                .c_str(),
                            0);
    }
    return Keeping::Lost;
}

// Whether everything this process keeps stands as it left it: one look,
// so that an event about something else costs no more.
bool RootDirectory::AllInPlace() const {
    if (!DirectoryStillStands() || !MarkStands()) {
        return false;
    }
    for (const auto& [name, owned] : owned_) {
        EntryStatus now;
        if (StatEntry(Fd(), name.c_str(), now) != 0 || now.id != owned.id) {
            return false;
        }
    }
    return true;
}

RootDirectory::Keeping RootDirectory::KeepOwnNames() {
    std::lock_guard lock(mutex_);
    if (owned_.empty() || AllInPlace()) {
        return Keeping::Kept;
    }
    if (watching_) {
        LetRemovalsSettle(removalSignal.load());
    }
    const bool removed = !DirectoryStillStands();
    if (removed && !MakeDirectoryAgain()) {
        for (auto& [name, owned] : owned_) {
            lost_.insert(name);
        }
        owned_.clear();
        DiagnoseHostFailure(
            Subject(), "was removed while this process held names in it, and cannot be made again: ending",
            0);
        return Keeping::Lost;
    }
    // Without its mark the directory would read as a stranger's as soon as
    // anything else appeared in it.
    if (!removed && !MarkStands() && LeaveMark() == ErrorCode::None) {
        DiagnoseHostFailure(Subject(), "its mark was removed while this process held names in it: made again",
                            0);
    }
    Keeping kept = Keeping::Kept;
    for (auto it = owned_.begin(); it != owned_.end();) {
        const Keeping name = KeepName(it->first, it->second);
        if (name == Keeping::Lost) {
            lost_.insert(it->first);
            it = owned_.erase(it);
            kept = Keeping::Lost;
            continue;
        }
        if (name == Keeping::PutBack && kept == Keeping::Kept) {
            kept = Keeping::PutBack;
        }
        ++it;
    }
    // Said once the names that could be are back, so that whoever reads the
    // line finds them there.
    if (removed) {
        DiagnoseHostFailure(Subject(), "was removed while this process held names in it: made again", 0);
    }
    return kept;
}

}  // namespace hosted
