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
#include <string_view>

#include "rtkernel/hosted/unique_fd.h"
#include "rtkernel/kernel.h"

namespace hosted {

// The mode every entry file has, whatever the umask of the process that wrote it.
inline constexpr mode_t kEntryFileMode = 0600;

// Work names: where an entry is written before it is linked, on a file
// system without unnamed files: this prefix, the creator's pid, '-', a count.
inline constexpr std::string_view kWorkNamePrefix = ".new-";
bool IsWorkName(std::string_view file);

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
    Vanished,     // nothing any more: what a claimant found in its way was removed by another
};

struct EntryStatus {
    EntryKind kind = EntryKind::Unlockable;
    FileId id;
    std::int64_t modifiedAt = 0;  // seconds since the epoch
};

// Looks at the name without opening it, so that a FIFO, socket or device that
// stands there is never opened. 0, or the operating system's error.
int StatEntry(int directory, const char* name, EntryStatus& status);

// Whether an entry file of this user's whose mode was taken away may be given
// its 0600 back so that its lock can be asked about. Only a process replacing
// what stands at its own name may change it; whoever only looks never does.
enum class ModeRepair { Never, AtOwnName };

// Gives an unnamed file (O_TMPFILE) a name; like link(), it never replaces
// what stands there. 0, or the operating system's error.
int LinkUnnamed(int file, int directory, const char* name);

// Opens the regular file at name, which must still be `expected`. 0, ESTALE
// when another file stands at the name by now, EACCES when it cannot be read
// (and repair was not allowed or did not help), or the operating system's error.
int OpenEntryFile(int directory, const char* name, FileId expected, int access, ModeRepair repair,
                  UniqueFd& file);

// Who holds what stands at a name, as far as anyone can tell.
enum class Holder {
    Live,     // an entry file whose owner holds its lock
    None,     // anything that has no live owner: a dead entry, damaged content, a non-entry
    Unknown,  // an entry file this process cannot open, so its lock cannot be asked about
};

// What stands at a name, as one look finds it: the one examination that
// lookup, removal, claiming and inspection all go by.
struct NameExamination {
    EntryStatus status;
    std::string record;  // an entry file's record as read; empty for anything else
    Holder holder = Holder::None;
    // A whole record of this user's that nobody holds: what an owner left
    // behind when it died, the only thing a cleaner removes unasked.
    bool DeadEntry() const;
};

// 0; ENOENT when nothing stands at the name; ESTALE when it was replaced while
// looked at; or the operating system's error. A FIFO, socket or device at the
// name is never opened.
int ExamineName(int directory, const char* name, ModeRepair repair, NameExamination& found);

std::string EntryRecord(std::uint16_t type, Handle object);
// The record as it stands in the file, at most one record's length.
std::string ReadRecord(int fd);
// The recorded type, or 0 for anything that is not a whole, well-formed record.
std::uint16_t RecordedType(const std::string& text);
// The recorded process id of a whole record, or 0.
std::int64_t RecordedPid(const std::string& text);

// The owner of an entry holds a lock on all of it for as long as it lives.
// 0 once held, or the error the lock got.
int TakeEntryLock(int fd);
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
