#include "rtkernel/hosted/root_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <string_view>

#include "rtkernel/hosted/host_output.h"
#include "rtkernel/hosted/names.h"

namespace hosted {
namespace {

constexpr const char* kRootDirectoryName = "rtroot";
constexpr mode_t kDirectoryMode = 0700;
constexpr mode_t kEntryMode = 0600;
constexpr std::string_view kWorkNamePrefix = ".new-";
constexpr unsigned kWorkNameAttempts = 16;
// A work file lives for microseconds; one this old was left by a process that
// died between creating and linking it.
constexpr time_t kAbandonedWorkFileSeconds = 60;
// A lookup that finds the name replaced while it looked tries again, a few times.
constexpr int kLookupAttempts = 4;

std::atomic<bool> workNamesOnly{false};
std::atomic<unsigned> pauseBeforeUnlinkMs{0};

// Where the kernel lets the process link a descriptor directly (recent kernels,
// or a process holding the capability), that saves a walk through /proc;
// elsewhere the descriptor is linked through its /proc name.
std::atomic<bool> linkingByDescriptorAllowed{true};

bool LinkUnnamed(int file, int directory, const char* name) {
    if (linkingByDescriptorAllowed.load(std::memory_order_relaxed)) {
        if (linkat(file, "", directory, name, AT_EMPTY_PATH) == 0) {
            return true;
        }
        if (errno != ENOENT && errno != EPERM) {
            return false;
        }
        linkingByDescriptorAllowed.store(false, std::memory_order_relaxed);
    }
    const std::string unnamed = "/proc/self/fd/" + std::to_string(file);
    return linkat(AT_FDCWD, unnamed.c_str(), directory, name, AT_SYMLINK_FOLLOW) == 0;
}

bool PermissionError(int error) {
    return error == EACCES || error == EPERM || error == EROFS;
}

// Held while a remover makes its last check and unlinks, so that no other
// remover can unlink and a claimer relink the name in between.
class RemovalLock {
public:
    explicit RemovalLock(int directory) : directory_(directory) {
        do {
            held_ = flock(directory_, LOCK_EX) == 0;
        } while (!held_ && errno == EINTR);
    }
    RemovalLock(const RemovalLock&) = delete;
    RemovalLock& operator=(const RemovalLock&) = delete;
    ~RemovalLock() {
        if (held_) {
            flock(directory_, LOCK_UN);
        }
    }
    bool Held() const { return held_; }

private:
    int directory_;
    bool held_ = false;
};

const char* RefusalReason(ErrorCode refusal) {
    switch (refusal) {
        case ErrorCode::RootNotDirectory:
            return "refused: a symlink or not a directory";
        case ErrorCode::RootNotOwned:
            return "refused: owned by another user";
        default:
            return "refused: writable by group or others";
    }
}

ErrorCode RefuseUnsafe(const struct stat& status) {
    if (!S_ISDIR(status.st_mode)) {
        return ErrorCode::RootNotDirectory;
    }
    if (status.st_uid != geteuid()) {
        return ErrorCode::RootNotOwned;
    }
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return ErrorCode::RootWritableByOthers;
    }
    return ErrorCode::None;
}

std::string Subject(const std::string& path) {
    return "root directory " + path;
}

}  // namespace

void RootDirectory::UseWorkNamesOnly(bool only) {
    workNamesOnly.store(only);
}

void RootDirectory::PauseBeforeUnlink(unsigned milliseconds) {
    pauseBeforeUnlinkMs.store(milliseconds);
}

std::string RootDirectory::DefaultPath() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): nothing in the process writes its environment
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        return std::string(runtime) + "/" + kRootDirectoryName;
    }
    return "/tmp/" + std::string(kRootDirectoryName) + "-" + std::to_string(geteuid());
}

// The name is looked at before it is opened, so that a directory of another
// user reads as that, not as one that merely cannot be opened.
ErrorCode RootDirectory::Open(const std::string& path, std::unique_ptr<RootDirectory>& opened) {
    return OpenAs(path, true, opened);
}

ErrorCode RootDirectory::OpenExisting(const std::string& path, std::unique_ptr<RootDirectory>& opened) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0 && errno == ENOENT) {
        return ErrorCode::NameNotFound;
    }
    return OpenAs(path, false, opened);
}

ErrorCode RootDirectory::OpenAs(const std::string& path, bool create,
                                std::unique_ptr<RootDirectory>& opened) {
    const std::string subject = Subject(path);
    const bool created = create && mkdir(path.c_str(), kDirectoryMode) == 0;
    if (create && !created && errno != EEXIST) {
        DiagnoseHostFailure(subject, "cannot create", errno);
        return PermissionError(errno) ? ErrorCode::RootNotWritable : ErrorCode::RootUnavailable;
    }
    // The umask took its share of the mode at mkdir; the directory must be
    // usable by every later instance whatever mask this one started with.
    if (created && chmod(path.c_str(), kDirectoryMode) != 0) {
        DiagnoseHostFailure(subject, "cannot make private", errno);
        return ErrorCode::RootUnavailable;
    }
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) {
        DiagnoseHostFailure(subject, "cannot examine", errno);
        return ErrorCode::RootUnavailable;
    }
    if (const ErrorCode unsafe = RefuseUnsafe(status); unsafe != ErrorCode::None) {
        DiagnoseHostFailure(subject, RefusalReason(unsafe), 0);
        return unsafe;
    }
    UniqueFd directory(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory.Valid()) {
        const int error = errno;
        DiagnoseHostFailure(subject, "cannot open", error);
        if (error == ELOOP || error == ENOTDIR) {
            return ErrorCode::RootNotDirectory;
        }
        return PermissionError(error) ? ErrorCode::RootNotWritable : ErrorCode::RootUnavailable;
    }
    // Checked again on what was opened: the name may have been swapped meanwhile.
    if (fstat(directory.Get(), &status) != 0) {
        DiagnoseHostFailure(subject, "cannot examine", errno);
        return ErrorCode::RootUnavailable;
    }
    if (const ErrorCode unsafe = RefuseUnsafe(status); unsafe != ErrorCode::None) {
        DiagnoseHostFailure(subject, RefusalReason(unsafe), 0);
        return unsafe;
    }
    if (faccessat(directory.Get(), ".", R_OK | W_OK | X_OK, AT_EACCESS) != 0) {
        DiagnoseHostFailure(subject, "cannot read, search and write", errno);
        return PermissionError(errno) ? ErrorCode::RootNotWritable : ErrorCode::RootUnavailable;
    }
    opened.reset(new RootDirectory(path, std::move(directory)));
    return ErrorCode::None;
}

RootDirectory::RootDirectory(std::string path, UniqueFd directory)
    : path_(std::move(path)), directory_(std::make_shared<const UniqueFd>(std::move(directory))) {}

// Says on stderr what failed, and gives the error a caller sees for it: a
// directory that refuses writing is told apart from any other host failure.
ErrorCode RootDirectory::HostFailure(const char* action, int error, const char* name) const {
    std::string what = action;
    if (name != nullptr) {
        what += std::string(" ") + name;
    }
    DiagnoseHostFailure(Subject(path_), what.c_str(), error);
    return PermissionError(error) ? ErrorCode::RootNotWritable : ErrorCode::HostFailure;
}

ErrorCode RootDirectory::CreateUnnamedEntry(UniqueFd& file) {
    file.Reset(openat(Fd(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, kEntryMode));
    if (file.Valid()) {
        return ErrorCode::None;
    }
    if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
        return ErrorCode::NameNotFound;  // no unnamed files here: the caller uses a work name
    }
    return HostFailure("cannot create entry", errno);
}

// A work name stands in for an unnamed file where the file system has none.
// Another process may have left one under the name this process would pick
// (it died before linking it, and its pid came round again): the next is taken.
ErrorCode RootDirectory::CreateWorkEntry(std::string& workName, UniqueFd& file) {
    SweepAbandonedWorkFiles();
    for (unsigned attempt = 0; attempt < kWorkNameAttempts; ++attempt) {
        workName = std::string(kWorkNamePrefix) + std::to_string(getpid()) + "-" +
                   std::to_string(++workNameCounter_);
        file.Reset(
            openat(Fd(), workName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kEntryMode));
        if (file.Valid()) {
            return ErrorCode::None;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    const int error = errno;
    workName.clear();
    return HostFailure("cannot create work file", error);
}

// An entry is locked and written before it has a name, so that it appears
// complete and owned at the instant it is linked. Its mode is set outright:
// the creator's umask must not decide who can read the record.
ErrorCode RootDirectory::CreateLockedEntry(std::uint16_t type, Handle object, std::string& workName,
                                           UniqueFd& file) {
    workName.clear();
    ErrorCode created = workNamesOnly.load() ? ErrorCode::NameNotFound : CreateUnnamedEntry(file);
    if (created == ErrorCode::NameNotFound) {
        created = CreateWorkEntry(workName, file);
    }
    if (created != ErrorCode::None) {
        return created;
    }
    const std::string record = EntryRecord(type, object);
    ErrorCode result = ErrorCode::None;
    if (!TakeEntryLock(file.Get())) {
        result = HostFailure("cannot lock entry", errno);
    } else if (fchmod(file.Get(), kEntryMode) != 0) {
        result = HostFailure("cannot set entry mode", errno);
    } else if (write(file.Get(), record.data(), record.size()) != static_cast<ssize_t>(record.size())) {
        result = HostFailure("cannot write entry", errno == 0 ? ENOSPC : errno);
    }
    if (result != ErrorCode::None && !workName.empty()) {
        unlinkat(Fd(), workName.c_str(), 0);
    }
    return result;
}

// link() never replaces an existing name: of all racers exactly one succeeds.
ErrorCode RootDirectory::LinkEntry(const UniqueFd& file, const std::string& workName, const char* name) {
    bool linked = false;
    if (workName.empty()) {
        linked = LinkUnnamed(file.Get(), Fd(), name);
    } else {
        linked = linkat(Fd(), workName.c_str(), Fd(), name, 0) == 0;
    }
    if (linked) {
        return ErrorCode::None;
    }
    return errno == EEXIST ? ErrorCode::NameTaken : HostFailure("cannot link entry", errno, name);
}

ErrorCode RootDirectory::Catalog(const char* name, std::uint16_t type, Handle object) {
    if (!ValidName(name)) {
        return ErrorCode::BadName;
    }
    std::lock_guard lock(mutex_);
    std::string workName;
    UniqueFd file;
    if (const ErrorCode created = CreateLockedEntry(type, object, workName, file);
        created != ErrorCode::None) {
        return created;
    }
    ErrorCode linked = LinkEntry(file, workName, name);
    if (linked == ErrorCode::NameTaken) {
        // A removal in flight is let finish: the name it frees is tried once
        // more. Still taken, by a dead owner's entry, it is claimed before any
        // other remover may act, so that no cleaner takes it away between
        // this failure and the replacement the caller will make.
        const RemovalLock settled(Fd());
        linked = LinkEntry(file, workName, name);
        if (linked == ErrorCode::NameTaken) {
            if (!workName.empty()) {
                unlinkat(Fd(), workName.c_str(), 0);
                workName.clear();
            }
            file.Reset();  // the claim needs no more descriptors than the entry did
            StakeClaim(name);
        }
    }
    if (!workName.empty()) {
        unlinkat(Fd(), workName.c_str(), 0);
    }
    if (linked != ErrorCode::None) {
        return linked;
    }
    struct stat status {};
    if (fstat(file.Get(), &status) != 0) {
        const int error = errno;
        unlinkat(Fd(), name, 0);
        return HostFailure("cannot examine entry", error, name);
    }
    owned_.insert_or_assign(name, OwnedEntry{std::move(file), IdOf(status)});
    ForgetOwnerless(name);
    (void)TakeClaim(name, FileId{});
    return ErrorCode::None;
}

void RootDirectory::StakeClaim(const char* name) {
    EntryStatus status;
    UniqueFd file;
    if (StatEntry(Fd(), name, status) != 0 || status.kind != EntryKind::EntryFile ||
        OpenEntryFile(Fd(), name, status.id, O_RDWR, file) != 0 || !TakeClaimLock(file.Get())) {
        return;  // a live owner's entry admits no claim; nor does what is no entry file
    }
    std::lock_guard lock(claimsMutex_);
    claims_.insert_or_assign(name, Claim{std::move(file), status.id});
}

// The claim's descriptor, when this process holds one for that very file; the
// claim ends either way.
UniqueFd RootDirectory::TakeClaim(const char* name, FileId id) {
    std::lock_guard lock(claimsMutex_);
    const auto claim = claims_.find(name);
    if (claim == claims_.end()) {
        return UniqueFd();
    }
    UniqueFd file = claim->second.id == id ? std::move(claim->second.file) : UniqueFd();
    claims_.erase(claim);
    return file;
}

bool RootDirectory::ReadClaimed(const char* name, FileId id, std::string& record) const {
    std::lock_guard lock(claimsMutex_);
    const auto claim = claims_.find(name);
    if (claim == claims_.end() || claim->second.id != id) {
        return false;
    }
    record = ReadRecord(claim->second.file.Get());
    return true;
}

void RootDirectory::RememberOwnerless(const char* name) const {
    std::lock_guard lock(foundOwnerlessMutex_);
    foundOwnerless_.insert(name);
}

bool RootDirectory::ForgetOwnerless(const char* name) const {
    std::lock_guard lock(foundOwnerlessMutex_);
    return foundOwnerless_.erase(name) > 0;
}

// The kind of file is learnt without opening it; only an entry file of this
// user's is opened, to read its record.
ErrorCode RootDirectory::LookupOnce(const char* name, std::shared_ptr<RootEntry>& found) const {
    for (int attempt = 0; attempt < kLookupAttempts; ++attempt) {
        EntryStatus status;
        if (const int error = StatEntry(Fd(), name, status); error != 0) {
            return error == ENOENT ? ErrorCode::NameNotFound : HostFailure("cannot examine", error, name);
        }
        std::string record;
        // A claim is only ever held on a dead owner's entry, and what is no
        // entry file has no owner: either way the name is remembered ownerless.
        const bool claimed = status.kind == EntryKind::EntryFile && ReadClaimed(name, status.id, record);
        if (status.kind == EntryKind::EntryFile && !claimed) {
            UniqueFd file;
            const int error = OpenEntryFile(Fd(), name, status.id, O_RDONLY, file);
            if (error == ENOENT || error == ESTALE) {
                continue;  // replaced or removed while looked at: look again
            }
            if (error != 0) {
                // Out of descriptors, say: the entry may well be live.
                return HostFailure("cannot open", error, name);
            }
            record = ReadRecord(file.Get());
            if (!OwnerHoldsEntryLock(file.Get())) {
                RememberOwnerless(name);
            }
        } else {
            RememberOwnerless(name);
        }
        found = std::make_shared<RootEntry>(directory_, name, status, std::move(record));
        return ErrorCode::None;
    }
    return ErrorCode::NameNotFound;
}

ErrorCode RootDirectory::Lookup(const char* name, std::uint32_t waitMs, std::shared_ptr<RootEntry>& found) {
    if (!ValidName(name)) {
        return ErrorCode::BadName;
    }
    const ErrorCode result = LookupOnce(name, found);
    if (result != ErrorCode::NameNotFound || waitMs == 0) {
        return result;
    }
    return WaitForEntry(name, waitMs, found,
                        [](ErrorCode looked) { return looked != ErrorCode::NameNotFound; });
}

ErrorCode RootDirectory::WaitUntilLive(const char* name, std::uint32_t waitMs) {
    if (!ValidName(name)) {
        return ErrorCode::BadName;
    }
    std::shared_ptr<RootEntry> found;
    const auto live = [&found](ErrorCode looked) {
        return looked == ErrorCode::None ? found->LiveType() != 0 : looked != ErrorCode::NameNotFound;
    };
    const ErrorCode result = WaitForEntry(name, waitMs, found, live);
    if (result == ErrorCode::None && found->LiveType() == 0) {
        return ErrorCode::TimedOut;
    }
    return result == ErrorCode::NameNotFound ? ErrorCode::TimedOut : result;
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

ErrorCode RootDirectory::Uncatalog(const char* name, FileId& removed) {
    if (!ValidName(name)) {
        return ErrorCode::BadName;
    }
    std::lock_guard lock(mutex_);
    const auto own = owned_.find(name);
    if (own == owned_.end()) {
        return RemoveStale(name, removed);
    }
    // Our own entry stays locked by us until it goes, so no other remover can
    // take it; a file put at the name in its place is not ours to remove.
    const ErrorCode result = UnlinkIfStillNamed(name, own->second.file.Get(), removed, false);
    if (result != ErrorCode::RootNotWritable && result != ErrorCode::HostFailure) {
        owned_.erase(own);
    }
    return result;
}

// An entry file is removed by whoever takes its lock, which proves its owner
// gone and keeps every other remover out. What cannot hold a lock (a symlink,
// FIFO, socket or device) and a file of another user have no live owner here.
ErrorCode RootDirectory::RemoveStale(const char* name, FileId& removed) {
    EntryStatus status;
    if (const int error = StatEntry(Fd(), name, status); error != 0) {
        if (error == ENOENT) {
            return ForgetOwnerless(name) ? ErrorCode::None : ErrorCode::NameNotFound;
        }
        return HostFailure("cannot examine", error, name);
    }
    if (status.kind == EntryKind::Directory) {
        return ErrorCode::NotAnEntry;
    }
    // A process that claimed the entry replaces it; a cleaner leaves it to a claimant.
    UniqueFd pinned = TakeClaim(name, status.id);
    const bool respectClaims = !pinned.Valid();
    bool waitedForAnotherRemover = false;
    const ErrorCode pinnedResult = status.kind == EntryKind::EntryFile
                                       ? PinDeadOwnersEntry(name, status.id, pinned, waitedForAnotherRemover)
                                       : PinUnlockable(name, pinned);
    if (pinnedResult != ErrorCode::None) {
        return pinnedResult;
    }
    const ErrorCode result = UnlinkIfStillNamed(name, pinned.Get(), removed, respectClaims);
    if (result == ErrorCode::None || (waitedForAnotherRemover && result == ErrorCode::NameNotFound)) {
        ForgetOwnerless(name);
        return ErrorCode::None;
    }
    return result;
}

// The file is held open from here to the unlink, so that its number cannot
// pass to a new file that the last check would mistake for it. Its remover
// lock proves the owner gone and keeps other removers out; one that is
// already at it is waited for, as its removal is this one's too.
ErrorCode RootDirectory::PinDeadOwnersEntry(const char* name, FileId id, UniqueFd& pinned, bool& waited) {
    const int error = pinned.Valid() ? 0 : OpenEntryFile(Fd(), name, id, O_RDWR, pinned);
    if (error == ENOENT) {
        return ErrorCode::NameNotFound;
    }
    if (error == ESTALE) {
        return ErrorCode::NotOwner;  // another process replaced it meanwhile
    }
    if (error != 0) {
        return HostFailure("cannot open", error, name);
    }
    if (TakeRemoverLock(pinned.Get(), false)) {
        return ErrorCode::None;
    }
    if (errno != EAGAIN && errno != EACCES) {
        return HostFailure("cannot lock", errno, name);
    }
    if (OwnerHoldsEntryLock(pinned.Get())) {
        return ErrorCode::NotOwner;
    }
    if (!TakeRemoverLock(pinned.Get(), true)) {
        return HostFailure("cannot lock", errno, name);
    }
    waited = true;
    return ErrorCode::None;
}

// What can hold no lock has no live owner; a path descriptor pins it without
// opening it, so a FIFO or device is never opened.
ErrorCode RootDirectory::PinUnlockable(const char* name, UniqueFd& pinned) const {
    pinned.Reset(openat(Fd(), name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!pinned.Valid()) {
        return errno == ENOENT ? ErrorCode::NameNotFound : HostFailure("cannot open", errno, name);
    }
    return ErrorCode::None;
}

ErrorCode RootDirectory::UnlinkIfStillNamed(const char* name, int pinned, FileId& removed,
                                            bool respectClaims) {
    const RemovalLock lock(Fd());
    if (!lock.Held()) {
        return HostFailure("cannot lock for removal", errno);
    }
    struct stat held {};
    if (fstat(pinned, &held) != 0) {
        return HostFailure("cannot examine", errno, name);
    }
    EntryStatus now;
    if (const int error = StatEntry(Fd(), name, now); error != 0) {
        return error == ENOENT ? ErrorCode::NameNotFound : HostFailure("cannot examine", error, name);
    }
    if (now.id != IdOf(held) || (respectClaims && ClaimPending(pinned))) {
        return ErrorCode::NotOwner;
    }
    if (const unsigned pause = pauseBeforeUnlinkMs.load(); pause != 0) {
        usleep(pause * 1000);
    }
    if (unlinkat(Fd(), name, 0) != 0) {
        return HostFailure("cannot remove", errno, name);
    }
    removed = now.id;
    return ErrorCode::None;
}

// Work files left by processes that died before linking them are removed, so
// they neither pile up nor stand in anyone's way. One still in use is locked.
void RootDirectory::SweepAbandonedWorkFiles() {
    const int listing = openat(Fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* entries = listing >= 0 ? fdopendir(listing) : nullptr;
    if (entries == nullptr) {
        if (listing >= 0) {
            close(listing);
        }
        return;
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the stream is this call's own, read by this thread alone
    while (const dirent* entry = readdir(entries)) {
        const std::string_view name = entry->d_name;
        struct stat status {};
        if (!name.starts_with(kWorkNamePrefix) ||
            fstatat(Fd(), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode) ||
            now.tv_sec - status.st_mtim.tv_sec < kAbandonedWorkFileSeconds) {
            continue;
        }
        UniqueFd file;
        FileId removed;
        if (OpenEntryFile(Fd(), entry->d_name, IdOf(status), O_RDWR, file) == 0 &&
            TakeRemoverLock(file.Get(), false)) {
            (void)UnlinkIfStillNamed(entry->d_name, file.Get(), removed, true);
        }
    }
    closedir(entries);
}

}  // namespace hosted
