// The root directory: names that every process of the user shares, kept as one
// file per name under a private directory so that they outlive the processes
// that wrote them.
//
// An entry file is claimed by creating it complete and unnamed and then
// linking it to its name, so two processes racing for a name cannot both win.
// Its owner holds an open-file-description lock on it for as long as it lives;
// the operating system drops that lock when the owner dies however it dies, so
// an entry nobody holds a lock on belongs to an object that no longer exists.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "rtkernel/hosted/errors.h"
#include "rtkernel/hosted/unique_fd.h"
#include "rtkernel/kernel.h"

namespace hosted {

// Which file an entry is, whatever name it stands under.
struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileId&) const = default;
};

// What a lookup found: one entry file, kept open so that its owner's liveness
// can be asked later without trusting the name to still refer to it.
class RootEntry {
public:
    RootEntry(UniqueFd file, FileId id, std::uint16_t recordedType);

    // The recorded object type while the owner lives; 0 once it is gone, and
    // always 0 for an entry that is unreadable, truncated or garbage.
    std::uint16_t LiveType() const;
    FileId Id() const { return id_; }
    // False once the entry has been removed from the directory.
    bool StillNamed() const;

private:
    UniqueFd file_;
    FileId id_;
    std::uint16_t recordedType_;
};

class RootDirectory {
public:
    // $XDG_RUNTIME_DIR/rtroot, or a per-user directory under /tmp when the
    // variable is unset or not an absolute path.
    static std::string DefaultPath();
    // Creates the directory (0700) when it is missing and refuses one that is a
    // symlink, not a directory, not the user's own or writable by others.
    static ErrorCode Open(const std::string& path, std::unique_ptr<RootDirectory>& opened);

    ErrorCode Catalog(const char* name, std::uint16_t type, Handle object);
    // Waits up to waitMs (kWaitForever: no limit) for the name to appear.
    ErrorCode Lookup(const char* name, std::uint32_t waitMs, std::shared_ptr<RootEntry>& found);
    // Removes the caller's own entry, or an entry whose owner is gone; never an
    // entry that a live object of another process holds. `removed` tells which
    // file went, so that handles to it can go too.
    ErrorCode Uncatalog(const char* name, FileId& removed);

    const std::string& Path() const { return path_; }

private:
    struct OwnedEntry {
        UniqueFd file;  // holds the lock that keeps the entry alive
        FileId id;
    };

    RootDirectory(std::string path, UniqueFd directory, uid_t owner);
    ErrorCode LookupOnce(const char* name, std::shared_ptr<RootEntry>& found) const;
    ErrorCode WaitForEntry(const char* name, std::uint32_t waitMs, std::shared_ptr<RootEntry>& found) const;
    ErrorCode CreateLockedEntry(std::uint16_t type, Handle object, std::string& workName, UniqueFd& file);
    ErrorCode LinkEntry(const UniqueFd& file, const std::string& workName, const char* name);
    ErrorCode RemoveOwn(const char* name, const OwnedEntry& own, FileId& removed);
    ErrorCode RemoveStale(const char* name, FileId& removed);
    ErrorCode RemoveUnopenable(const char* name, int openError, FileId& removed);

    std::string path_;
    UniqueFd directory_;
    uid_t owner_;
    std::mutex mutex_;
    std::map<std::string, OwnedEntry, std::less<>> owned_;
    unsigned workNameCounter_ = 0;
};

}  // namespace hosted
