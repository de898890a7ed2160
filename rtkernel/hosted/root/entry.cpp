// Entry files: record, identity, locks, and opening one safely.
#include "rtkernel/hosted/root/entry.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <string>
#include <string_view>

namespace hosted {
namespace {

constexpr std::size_t kMaxRecordLength = 96;
constexpr std::string_view kRecordStart = "rtentry 1 type=";
constexpr std::string_view kRecordObject = " object=";
constexpr std::string_view kRecordPid = " pid=";

// Locks cover the whole file; an open-file-description lock belongs to the
// descriptor, not the process, and the kernel releases it when the owner dies.
struct flock WholeFileWriteLock() {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return lock;
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

// Gives an entry file of this user's its mode back. It acts through a path
// descriptor of the very file that was looked at, so a file put at the name in
// between is never changed.
int RestoreEntryMode(int directory, const char* name, FileId expected) {
    const UniqueFd path(openat(directory, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!path.Valid() || fstat(path.Get(), &status) != 0) {
        return errno;
    }
    if (!S_ISREG(status.st_mode) || status.st_uid != EffectiveUser() || IdOf(status) != expected) {
        return ESTALE;
    }
    const std::string self = "/proc/self/fd/" + std::to_string(path.Get());
    return chmod(self.c_str(), kEntryFileMode) == 0 ? 0 : errno;
}

}  // namespace

bool IsWorkName(std::string_view file) {
    if (!file.starts_with(kWorkNamePrefix)) {
        return false;
    }
    file.remove_prefix(kWorkNamePrefix.size());
    const std::size_t dash = file.find('-');
    const auto digits = [](std::string_view text) {
        return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
    };
    return dash != std::string_view::npos && digits(file.substr(0, dash)) && digits(file.substr(dash + 1));
}

uid_t EffectiveUser() {
    static const uid_t user = geteuid();
    return user;
}

FileId IdOf(const struct stat& status) {
    return FileId{status.st_dev, status.st_ino};
}

int StatEntry(int directory, const char* name, EntryStatus& status) {
    struct stat named {};
    if (fstatat(directory, name, &named, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno;
    }
    status.id = IdOf(named);
    status.modifiedAt = named.st_mtim.tv_sec;
    if (S_ISDIR(named.st_mode)) {
        status.kind = EntryKind::Directory;
    } else if (!S_ISREG(named.st_mode)) {
        status.kind = EntryKind::Unlockable;
    } else {
        status.kind = named.st_uid == EffectiveUser() ? EntryKind::EntryFile : EntryKind::ForeignFile;
    }
    return 0;
}

int OpenEntryFile(int directory, const char* name, FileId expected, int access, ModeRepair repair,
                  UniqueFd& file) {
    // Non-blocking and without a controlling terminal, in case something other
    // than a regular file was put at the name since it was looked at.
    const int flags = access | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    file.Reset(openat(directory, name, flags));
    if (!file.Valid() && errno == EACCES && repair == ModeRepair::AtOwnName) {
        if (const int restored = RestoreEntryMode(directory, name, expected); restored != 0) {
            return restored == ENOENT ? ENOENT : (restored == ESTALE ? ESTALE : EACCES);
        }
        file.Reset(openat(directory, name, flags));
    }
    if (!file.Valid()) {
        return errno == ELOOP ? ESTALE : errno;
    }
    struct stat opened {};
    if (fstat(file.Get(), &opened) != 0) {
        return errno;
    }
    if (!S_ISREG(opened.st_mode) || IdOf(opened) != expected) {
        file.Reset();
        return ESTALE;
    }
    return 0;
}

int ExamineName(int directory, const char* name, ModeRepair repair, NameExamination& found) {
    found = NameExamination{};
    if (const int error = StatEntry(directory, name, found.status); error != 0) {
        return error;
    }
    if (found.status.kind != EntryKind::EntryFile) {
        return 0;  // it can hold no lock, or it is not this user's: no live owner here
    }
    UniqueFd file;
    const int error = OpenEntryFile(directory, name, found.status.id, O_RDONLY, repair, file);
    if (error == EACCES) {
        found.holder = Holder::Unknown;
        return 0;
    }
    if (error != 0) {
        return error;
    }
    found.record = ReadRecord(file.Get());
    found.holder = OwnerHoldsEntryLock(file.Get()) ? Holder::Live : Holder::None;
    return 0;
}

bool NameExamination::DeadEntry() const {
    return status.kind == EntryKind::EntryFile && holder == Holder::None && RecordedType(record) != 0;
}

std::string EntryRecord(std::uint16_t type, Handle object) {
    return std::string(kRecordStart) + std::to_string(type) + std::string(kRecordObject) +
           std::to_string(object) + std::string(kRecordPid) + std::to_string(getpid()) + "\n";
}

std::string ReadRecord(int fd) {
    char buffer[kMaxRecordLength] = {};
    const ssize_t length = pread(fd, buffer, sizeof buffer, 0);
    return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}

namespace {

struct Record {
    std::uint16_t type = 0;
    std::uint16_t object = 0;
    std::int64_t pid = 0;
};

bool ParseRecord(const std::string& text, Record& parsed) {
    std::string_view record = text;
    return ReadField(record, kRecordStart, parsed.type) && ReadField(record, kRecordObject, parsed.object) &&
           ReadField(record, kRecordPid, parsed.pid) && record == "\n";
}

}  // namespace

std::uint16_t RecordedType(const std::string& text) {
    Record parsed;
    return ParseRecord(text, parsed) ? parsed.type : 0;
}

std::int64_t RecordedPid(const std::string& text) {
    Record parsed;
    return ParseRecord(text, parsed) && parsed.type != 0 ? parsed.pid : 0;
}

int TakeEntryLock(int fd) {
    struct flock lock = WholeFileWriteLock();
    return fcntl(fd, F_OFD_SETLK, &lock) == 0 ? 0 : errno;
}

bool OwnerHoldsEntryLock(int fd) {
    struct flock lock = WholeFileWriteLock();
    // A lock that cannot be asked about is taken to be held: a live entry must
    // never read as one to remove.
    return fcntl(fd, F_OFD_GETLK, &lock) != 0 || lock.l_type != F_UNLCK;
}

RootEntry::RootEntry(std::shared_ptr<const UniqueFd> directory, std::string name, EntryStatus status,
                     std::string record)
    : directory_(std::move(directory)),
      name_(std::move(name)),
      status_(status),
      record_(std::move(record)),
      recordedType_(status.kind == EntryKind::EntryFile ? RecordedType(record_) : 0) {}

std::uint16_t RootEntry::LiveType() const {
    if (recordedType_ == 0 || status_.kind != EntryKind::EntryFile) {
        return 0;
    }
    UniqueFd file;
    // Gone or replaced: the file this handle named holds no name any more. A
    // file that cannot be opened says nothing, but reading it as not live is
    // safe: a removal asks the owner's lock again, inside the change lock,
    // and leaves the entry where that says it lives.
    if (OpenEntryFile(directory_->Get(), name_.c_str(), status_.id, O_RDONLY, ModeRepair::Never, file) != 0 ||
        ReadRecord(file.Get()) != record_) {
        return 0;
    }
    return OwnerHoldsEntryLock(file.Get()) ? recordedType_ : 0;
}

bool RootEntry::StillNamed() const {
    EntryStatus now;
    return StatEntry(directory_->Get(), name_.c_str(), now) == 0 && now.id == status_.id;
}

namespace {

// Where the kernel lets the process link a descriptor directly (recent kernels,
// or a process holding the capability), that saves a walk through /proc;
// elsewhere the descriptor is linked through its /proc name.
std::atomic<bool> linkingByDescriptorAllowed{true};

}  // namespace

int LinkUnnamed(int file, int directory, const char* name) {
    if (linkingByDescriptorAllowed.load(std::memory_order_relaxed)) {
        if (linkat(file, "", directory, name, AT_EMPTY_PATH) == 0) {
            return 0;
        }
        if (errno != ENOENT && errno != EPERM) {
            return errno;
        }
        linkingByDescriptorAllowed.store(false, std::memory_order_relaxed);
    }
    const std::string unnamed = "/proc/self/fd/" + std::to_string(file);
    return linkat(AT_FDCWD, unnamed.c_str(), directory, name, AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
}

}  // namespace hosted
