#include "rtkernel/hosted/root_directory.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "rtkernel/hosted/names.h"

namespace hosted {
namespace {

constexpr const char* kRootDirectoryName = "rtroot";
constexpr const char* kWorkNamePrefix = ".new-";
constexpr std::size_t kMaxRecordLength = 96;

// Locks cover the whole file; an open-file-description lock belongs to the
// descriptor, not the process, and the kernel releases it when the owner dies.
struct flock WholeFileWriteLock() {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return lock;
}

bool TakeEntryLock(int fd) {
    struct flock lock = WholeFileWriteLock();
    return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

bool SomeoneHoldsEntryLock(int fd) {
    struct flock lock = WholeFileWriteLock();
    return fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

constexpr std::string_view kRecordStart = "rtentry 1 type=";
constexpr std::string_view kRecordObject = " object=";
constexpr std::string_view kRecordPid = " pid=";

std::string EntryRecord(std::uint16_t type, Handle object) {
    return std::string(kRecordStart) + std::to_string(type) + std::string(kRecordObject) +
           std::to_string(object) + std::string(kRecordPid) + std::to_string(getpid()) + "\n";
}

// Reads one decimal field introduced by its label; false unless both are there.
template <typename Number>
bool ReadField(std::string_view& text, std::string_view label, Number& value) {
    if (!text.starts_with(label)) {
        return false;
    }
    text.remove_prefix(label.size());
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data()) {
        return false;
    }
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    return true;
}

// The recorded type, or 0 for anything that is not a whole, well-formed record.
std::uint16_t RecordedType(int fd) {
    char buffer[kMaxRecordLength] = {};
    const ssize_t length = pread(fd, buffer, sizeof buffer, 0);
    if (length <= 0) {
        return 0;
    }
    std::string_view record(buffer, static_cast<std::size_t>(length));
    std::uint16_t type = 0;
    std::uint16_t object = 0;
    std::int64_t pid = 0;
    const bool whole = ReadField(record, kRecordStart, type) && ReadField(record, kRecordObject, object) &&
                       ReadField(record, kRecordPid, pid) && record == "\n";
    return whole ? type : 0;
}

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

// A symlink (ELOOP) or an unreadable file (EACCES) where an entry should be
// cannot be opened, so it cannot hold a lock: no live object owns it. Any
// other failure to open says nothing about the entry.
bool UnopenableEntry(int openError) {
    return openError == ELOOP || openError == EACCES;
}

FileId IdOf(const struct stat& status) {
    return FileId{status.st_dev, status.st_ino};
}

ErrorCode WriteFailure(int error) {
    return error == EACCES || error == EPERM || error == EROFS ? ErrorCode::RootNotWritable
                                                               : ErrorCode::HostFailure;
}

}  // namespace

RootEntry::RootEntry(UniqueFd file, FileId id, std::uint16_t recordedType)
    : file_(std::move(file)), id_(id), recordedType_(recordedType) {}

std::uint16_t RootEntry::LiveType() const {
    if (recordedType_ == 0 || !file_.Valid()) {
        return 0;
    }
    return SomeoneHoldsEntryLock(file_.Get()) ? recordedType_ : 0;
}

bool RootEntry::StillNamed() const {
    struct stat status {};
    return file_.Valid() && fstat(file_.Get(), &status) == 0 && status.st_nlink > 0;
}

std::string RootDirectory::DefaultPath() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): nothing in the process writes its environment
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        return std::string(runtime) + "/" + kRootDirectoryName;
    }
    return "/tmp/" + std::string(kRootDirectoryName) + "-" + std::to_string(geteuid());
}

ErrorCode RootDirectory::Open(const std::string& path, std::unique_ptr<RootDirectory>& opened) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        return ErrorCode::RootUnavailable;
    }
    UniqueFd directory(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory.Valid()) {
        return errno == ELOOP || errno == ENOTDIR ? ErrorCode::RootNotDirectory : ErrorCode::RootUnavailable;
    }
    struct stat status {};
    if (fstat(directory.Get(), &status) != 0) {
        return ErrorCode::RootUnavailable;
    }
    if (status.st_uid != geteuid()) {
        return ErrorCode::RootNotOwned;
    }
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return ErrorCode::RootWritableByOthers;
    }
    opened.reset(new RootDirectory(path, std::move(directory), status.st_uid));
    return ErrorCode::None;
}

RootDirectory::RootDirectory(std::string path, UniqueFd directory, uid_t owner)
    : path_(std::move(path)), directory_(std::move(directory)), owner_(owner) {}

// An entry is written and locked before it has a name, so that it appears
// complete and owned at the instant it is linked. An unnamed file leaves
// nothing behind if the process dies before the link; where the file system
// cannot make one, a work name stands in for that moment.
ErrorCode RootDirectory::CreateLockedEntry(std::uint16_t type, Handle object, std::string& workName,
                                           UniqueFd& file) {
    workName.clear();
    file.Reset(openat(directory_.Get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!file.Valid()) {
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            return WriteFailure(errno);
        }
        workName = kWorkNamePrefix + std::to_string(getpid()) + "-" + std::to_string(++workNameCounter_);
        file.Reset(openat(directory_.Get(), workName.c_str(),
                          O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!file.Valid()) {
            return WriteFailure(errno);
        }
    }
    const std::string record = EntryRecord(type, object);
    const bool written =
        write(file.Get(), record.data(), record.size()) == static_cast<ssize_t>(record.size());
    const int error = errno;
    if (!written || !TakeEntryLock(file.Get())) {
        if (!workName.empty()) {
            unlinkat(directory_.Get(), workName.c_str(), 0);
        }
        return written ? ErrorCode::HostFailure : WriteFailure(error);
    }
    return ErrorCode::None;
}

// link() never replaces an existing name: of all racers exactly one succeeds.
ErrorCode RootDirectory::LinkEntry(const UniqueFd& file, const std::string& workName, const char* name) {
    bool linked = false;
    if (workName.empty()) {
        linked = LinkUnnamed(file.Get(), directory_.Get(), name);
    } else {
        linked = linkat(directory_.Get(), workName.c_str(), directory_.Get(), name, 0) == 0;
    }
    const int error = errno;
    if (!workName.empty()) {
        unlinkat(directory_.Get(), workName.c_str(), 0);
    }
    if (linked) {
        return ErrorCode::None;
    }
    return error == EEXIST ? ErrorCode::NameTaken : WriteFailure(error);
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
    if (const ErrorCode linked = LinkEntry(file, workName, name); linked != ErrorCode::None) {
        return linked;
    }
    struct stat status {};
    if (fstat(file.Get(), &status) != 0) {
        unlinkat(directory_.Get(), name, 0);
        return ErrorCode::HostFailure;
    }
    owned_.insert_or_assign(name, OwnedEntry{std::move(file), IdOf(status)});
    return ErrorCode::None;
}

ErrorCode RootDirectory::LookupOnce(const char* name, std::shared_ptr<RootEntry>& found) const {
    UniqueFd file(openat(directory_.Get(), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat status {};
    if (!file.Valid()) {
        if (errno == ENOENT) {
            return ErrorCode::NameNotFound;
        }
        if (!UnopenableEntry(errno)) {
            return ErrorCode::HostFailure;  // out of descriptors, say: the entry may well be live
        }
        if (fstatat(directory_.Get(), name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            return errno == ENOENT ? ErrorCode::NameNotFound : ErrorCode::HostFailure;
        }
        found = std::make_shared<RootEntry>(UniqueFd(), IdOf(status), 0);
        return ErrorCode::None;
    }
    if (fstat(file.Get(), &status) != 0) {
        return ErrorCode::HostFailure;
    }
    const bool ownRegularFile = S_ISREG(status.st_mode) && status.st_uid == owner_;
    const std::uint16_t type = ownRegularFile ? RecordedType(file.Get()) : 0;
    found = std::make_shared<RootEntry>(std::move(file), IdOf(status), type);
    return ErrorCode::None;
}

ErrorCode RootDirectory::Lookup(const char* name, std::uint32_t waitMs, std::shared_ptr<RootEntry>& found) {
    if (!ValidName(name)) {
        return ErrorCode::BadName;
    }
    const ErrorCode result = LookupOnce(name, found);
    if (result != ErrorCode::NameNotFound || waitMs == 0) {
        return result;
    }
    return WaitForEntry(name, waitMs, found);
}

// Sleeps on directory events rather than polling, so a long wait costs nothing.
ErrorCode RootDirectory::WaitForEntry(const char* name, std::uint32_t waitMs,
                                      std::shared_ptr<RootEntry>& found) const {
    UniqueFd events(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!events.Valid() || inotify_add_watch(events.Get(), path_.c_str(), IN_CREATE | IN_MOVED_TO) < 0) {
        return ErrorCode::HostFailure;
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        // Looked up again after the watch is in place, so a name that appeared
        // in between is not missed.
        const ErrorCode result = LookupOnce(name, found);
        if (result != ErrorCode::NameNotFound) {
            return result;
        }
        int timeoutMs = -1;
        if (waitMs != kWaitForever) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                return ErrorCode::NameNotFound;
            }
            timeoutMs = static_cast<int>(std::min<long long>(left, 1 << 30));
        }
        struct pollfd ready = {events.Get(), POLLIN, 0};
        if (poll(&ready, 1, timeoutMs) < 0 && errno != EINTR) {
            return ErrorCode::HostFailure;
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
    const ErrorCode result = RemoveOwn(name, own->second, removed);
    if (result != ErrorCode::RootNotWritable && result != ErrorCode::HostFailure) {
        owned_.erase(own);
    }
    return result;
}

// Removes the name only while it still refers to the file this process wrote:
// an entry someone put in its place is not ours to remove.
ErrorCode RootDirectory::RemoveOwn(const char* name, const OwnedEntry& own, FileId& removed) {
    struct stat status {};
    if (fstatat(directory_.Get(), name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? ErrorCode::NameNotFound : ErrorCode::HostFailure;
    }
    if (IdOf(status) != own.id) {
        return ErrorCode::NotOwner;
    }
    removed = own.id;
    return unlinkat(directory_.Get(), name, 0) == 0 ? ErrorCode::None : WriteFailure(errno);
}

// Taking the entry's lock proves its owner is gone and keeps every other
// remover out until the name is unlinked.
ErrorCode RootDirectory::RemoveStale(const char* name, FileId& removed) {
    UniqueFd file(openat(directory_.Get(), name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.Valid()) {
        return RemoveUnopenable(name, errno, removed);
    }
    struct stat opened {};
    if (fstat(file.Get(), &opened) != 0) {
        return ErrorCode::HostFailure;
    }
    if (S_ISREG(opened.st_mode) && !TakeEntryLock(file.Get())) {
        return errno == EAGAIN || errno == EACCES ? ErrorCode::NotOwner : ErrorCode::HostFailure;
    }
    // The name must still refer to the file opened: another remover may have
    // replaced it in between, and the replacement is not ours to remove.
    struct stat named {};
    if (fstatat(directory_.Get(), name, &named, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? ErrorCode::NameNotFound : ErrorCode::HostFailure;
    }
    if (IdOf(named) != IdOf(opened)) {
        return ErrorCode::NotOwner;
    }
    removed = IdOf(opened);
    return unlinkat(directory_.Get(), name, 0) == 0 ? ErrorCode::None : WriteFailure(errno);
}

// An entry that cannot be opened is removed only when it cannot hold a lock. A
// directory is not an entry this kernel wrote and is left alone.
ErrorCode RootDirectory::RemoveUnopenable(const char* name, int openError, FileId& removed) {
    if (openError == ENOENT) {
        return ErrorCode::NameNotFound;
    }
    if (openError == EISDIR) {
        return ErrorCode::NotOwner;
    }
    if (!UnopenableEntry(openError)) {
        return ErrorCode::HostFailure;
    }
    struct stat named {};
    if (fstatat(directory_.Get(), name, &named, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? ErrorCode::NameNotFound : ErrorCode::HostFailure;
    }
    if (S_ISDIR(named.st_mode)) {
        return ErrorCode::NotOwner;
    }
    removed = IdOf(named);
    return unlinkat(directory_.Get(), name, 0) == 0 ? ErrorCode::None : WriteFailure(errno);
}

}  // namespace hosted
