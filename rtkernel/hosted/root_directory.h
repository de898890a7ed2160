// The root directory: names that every process of the user shares, kept as one
// file per name under a private directory so that they outlive the processes
// that wrote them. This file is its policy: where it is, which directory is
// safe to use, and how a name is claimed, found, waited for and removed.
//
// A name is claimed by creating its entry file complete, locked and unnamed,
// and then linking it to the name: link never replaces, so of all racers
// exactly one wins. A name is removed only by its owner, or by whoever holds
// the lock of an entry whose owner is gone; the final check that the name
// still stands for that file and the unlink are made under the directory's
// removal lock, so no remover can take away a file that replaced the one it
// checked, whatever kind of file stood there.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "rtkernel/hosted/errors.h"
#include "rtkernel/hosted/root_entry.h"
#include "rtkernel/hosted/unique_fd.h"
#include "rtkernel/kernel.h"

namespace hosted {

class RootDirectory {
public:
    // $XDG_RUNTIME_DIR/rtroot, or a per-user directory under /tmp when the
    // variable is unset, empty or not an absolute path.
    static std::string DefaultPath();
    // Creates the directory (0700 whatever the umask) when it is missing, and
    // refuses, each with its own error, one that is a symlink or not a
    // directory, is not the user's own, is writable by others, or that this
    // process cannot read, search and write: every later call would fail.
    static ErrorCode Open(const std::string& path, std::unique_ptr<RootDirectory>& opened);
    // The same refusals, but a missing directory is reported (NameNotFound)
    // rather than created: looking must not leave anything behind.
    static ErrorCode OpenExisting(const std::string& path, std::unique_ptr<RootDirectory>& opened);

    ErrorCode Catalog(const char* name, std::uint16_t type, Handle object);
    // Waits up to waitMs (kWaitForever: no limit) for the name to appear.
    ErrorCode Lookup(const char* name, std::uint32_t waitMs, std::shared_ptr<RootEntry>& found);
    // Removes the caller's own entry, or one whose owner is gone; never an
    // entry that a live object holds, never a directory. `removed` tells which
    // file went, so that handles to it can go too.
    ErrorCode Uncatalog(const char* name, FileId& removed);

    // Waits up to waitMs for an entry a live object holds to stand at the name
    // in the root directory at path, whether that directory exists yet or not,
    // and through its removal and re-creation; creates nothing. TimedOut when
    // none does by then.
    static ErrorCode WaitUntilLive(const std::string& path, const char* name, std::uint32_t waitMs);

    // What an operator's tool sees (root_inspection.cpp): the names that stand
    // in the directory, and what each one is.
    struct EntryReport {
        enum class State { Live, Stale, Damaged } state = State::Damaged;
        EntryKind kind = EntryKind::Unlockable;
        std::uint16_t type = 0;       // the recorded object type of a whole record
        std::int64_t pid = 0;         // the holder's process id, only while it lives
        std::int64_t modifiedAt = 0;  // when the entry was written, in seconds since the epoch
    };
    ErrorCode ListNames(std::vector<std::string>& names) const;
    ErrorCode Describe(const char* name, EntryReport& report);

    const std::string& Path() const { return path_; }

    // For tests: claim through work names, as on a file system that has no
    // unnamed files; and a pause inside the removal lock, to widen races.
    static void UseWorkNamesOnly(bool only);
    static void PauseBeforeUnlink(unsigned milliseconds);

private:
    struct OwnedEntry {
        UniqueFd file;  // holds the lock that keeps the entry alive
        FileId id;
    };

    RootDirectory(std::string path, UniqueFd directory);
    static ErrorCode OpenAs(const std::string& path, bool create, std::unique_ptr<RootDirectory>& opened);
    int Fd() const { return directory_->Get(); }
    ErrorCode HostFailure(const char* action, int error, const char* name = nullptr) const;
    ErrorCode LookupOnce(const char* name, std::shared_ptr<RootEntry>& found) const;
    // Looks the name up again at every change in the directory until settled
    // says the result will do, or the time runs out.
    ErrorCode WaitForEntry(const char* name, std::uint32_t waitMs, std::shared_ptr<RootEntry>& found,
                           const std::function<bool(ErrorCode)>& settled) const;
    ErrorCode CreateUnnamedEntry(UniqueFd& file);
    ErrorCode CreateWorkEntry(std::string& workName, UniqueFd& file);
    ErrorCode CreateLockedEntry(std::uint16_t type, Handle object, std::string& workName, UniqueFd& file,
                                FileId& id);
    ErrorCode LinkEntry(const UniqueFd& file, const std::string& workName, const char* name);
    ErrorCode RemoveStale(const char* name, FileId& removed);
    ErrorCode PinDeadOwnersEntry(const char* name, FileId id, UniqueFd& pinned, bool& waited);
    ErrorCode PinUnlockable(const char* name, UniqueFd& pinned) const;
    ErrorCode UnlinkIfStillNamed(const char* name, int pinned, FileId& removed, bool respectClaims);
    ErrorCode UnlinkIfNamedAs(const char* name, FileId held, FileId& removed);
    void StakeClaim(const char* name);
    UniqueFd TakeClaim(const char* name, FileId id);
    void SweepAbandonedWorkFiles();
    ErrorCode ListFiles(std::vector<std::string>& files) const;
    bool ReadClaimed(const char* name, FileId id, std::string& record) const;
    void RememberOwnerless(const char* name) const;
    bool ForgetOwnerless(const char* name) const;

    std::string path_;
    std::shared_ptr<const UniqueFd> directory_;
    std::mutex mutex_;
    std::map<std::string, OwnedEntry, std::less<>> owned_;
    // Names this process looked up and found with no live owner: should such a
    // name vanish before this process removes it, another remover got there
    // first, and the removal this process asked for has happened.
    // Stale entries this process claimed when its catalog found them in the
    // way: the claim keeps cleaners off them until this process replaces them,
    // and its descriptor serves the lookup and the removal that follow.
    struct Claim {
        UniqueFd file;
        FileId id;
    };
    mutable std::mutex claimsMutex_;
    std::map<std::string, Claim, std::less<>> claims_;
    mutable std::mutex foundOwnerlessMutex_;
    mutable std::set<std::string, std::less<>> foundOwnerless_;
    unsigned workNameCounter_ = 0;
};

}  // namespace hosted
