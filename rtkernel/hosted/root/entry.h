// One entry file of the root directory: its record, its identity, its lock,
// and how it is opened without being fooled by what else can stand at a name.
//
// An entry's owner holds an open-file-description lock on it for as long as it
// lives; the operating system drops the lock when the owner dies however it
// dies, so only that lock tells a live entry from a stale one. Permissions on
// a file the user owns in the user's private directory tell nothing either way.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "rtkernel/hosted/unique_fd.h"
#include "rtkernel/kernel.h"

namespace hosted {

// The mode every entry file has, whatever the umask of the process that wrote it.
inline constexpr mode_t kEntryFileMode = 0600;

// Which file an entry is, whatever name it stands under.
struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileId&) const = default;
};

FileId IdOf(const struct stat& status);

// The process's effective user, asked once: nothing in the process changes it,
// and every look at a name needs it.
uid_t EffectiveUser();

// What stands at a name, as far as the root directory is concerned.
enum class EntryKind {
    EntryFile,    // a regular file of this user: an entry, live or stale
    ForeignFile,  // a regular file of another user: no entry this user's kernel wrote
    Unlockable,   // a symlink, FIFO, socket or device: it can hold no lock, so no live owner
    Directory,    // not an entry at all, and never removed
};

struct EntryStatus {
    EntryKind kind = EntryKind::Unlockable;
    FileId id;
    std::int64_t modifiedAt = 0;  // seconds since the epoch
};

// Looks at the name without opening it, so that a FIFO, socket or device that
// stands there is never opened. 0, or the operating system's error.
int StatEntry(int directory, const char* name, EntryStatus& status);

// Opens the regular file at name, which must still be `expected`. An entry of
// this user's whose mode was taken away is given its 0600 back first: the lock
// on it, not its mode, says whether it lives. 0, ESTALE when another file
// stands at the name by now, or the operating system's error.
int OpenEntryFile(int directory, const char* name, FileId expected, int access, UniqueFd& file);

std::string EntryRecord(std::uint16_t type, Handle object);
// The record as it stands in the file, at most one record's length.
std::string ReadRecord(int fd);
// The recorded type, or 0 for anything that is not a whole, well-formed record.
std::uint16_t RecordedType(const std::string& text);
// The recorded process id of a whole record, or 0.
std::int64_t RecordedPid(const std::string& text);

// The owner of an entry holds a lock on all of it for as long as it lives.
// False (errno set) when the lock cannot be had.
bool TakeEntryLock(int fd);
bool OwnerHoldsEntryLock(int fd);

// What a lookup found. It keeps no descriptor: its liveness is asked again at
// the name, of the same file, each time, so that a handle costs nothing while
// it is held and the name's removal needs no more descriptors than a start.
// A file number can be given to a new file once the old one is gone, so the
// record read at the lookup must still stand in the file too.
class RootEntry {
public:
    RootEntry(std::shared_ptr<const UniqueFd> directory, std::string name, EntryStatus status,
              std::string record);

    // The recorded object type while the owner lives; 0 once it is gone, and
    // always 0 for anything that is not a whole entry file.
    std::uint16_t LiveType() const;
    FileId Id() const { return status_.id; }
    const EntryStatus& Status() const { return status_; }
    const std::string& Record() const { return record_; }
    EntryKind Kind() const { return status_.kind; }
    // False once the file has been removed from the directory or replaced.
    bool StillNamed() const;
    bool SameEntry(const RootEntry& other) const { return Id() == other.Id() && record_ == other.record_; }

private:
    std::shared_ptr<const UniqueFd> directory_;
    std::string name_;
    EntryStatus status_;
    std::string record_;
    std::uint16_t recordedType_;
};

}  // namespace hosted
