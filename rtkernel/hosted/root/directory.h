// The root directory: names that every process of the user shares, kept as one
// file per name under a private directory so that they outlive the processes
// that wrote them. This file is its policy: where it is, which directory is
// safe to use, and how a name is claimed, found, waited for and removed.
//
// Why exactly one process holds a name, whatever runs at the same time. An
// entry is written and locked by its owner before it has a name, and the owner
// holds that lock for as long as it lives, so an entry is live exactly while
// its lock is held. What a name stands for changes in these ways only:
//
//  change             | who makes it          | what is held          | why it is safe
//  -------------------+-----------------------+-----------------------+-----------------------------
//  link an entry      | a start (Catalog), a  | the entry's own lock  | a link never replaces: of all
//                     | holder putting its    |                       | racers exactly one wins
//                     | name back (keeping)   |                       |
//  unlink one's own   | the live owner        | nothing more          | while the owner lives nobody
//  live entry         | (Uncatalog, a stop)   |                       | else removes it, and no link
//                     |                       |                       | lands on a taken name
//  unlink what has no | a start or a holder   | the change lock       | examined, its lock tested and
//  live owner         | at its own claimed    | (locks.h), over       | unlinked in one hold: no other
//                     | name, a cleaner       | examination and       | such removal runs between, an
//                     | (rtroot clean,        | unlink                | owner removes only a live
//                     | Uncatalog)            |                       | entry, which the test refuses
//
// A claim is this process's note, made in the change lock's hold where its
// link found something ownerless in the way, that it will replace that thing:
// it lets its removal take anything ownerless (not only a dead entry), and it
// makes the name's being found free a vanished thing rather than a failure. A
// cleaner or a rival that removes the thing first costs the claimant nothing:
// its lookup is handed the vanished thing, whose type reads 0, its removal
// counts as done, and its catalog takes the free name. Where that catalog
// finds the name taken again by something ownerless, it removes it in the
// lock's hold and writes its entry again, for as long as others keep putting
// things there and leaving them ownerless. So a start fails only where one of
// its own calls on the name met a live holder's entry there, where its wait
// for the change lock gave up, or where a directory or an entry it cannot
// read stands at the name (or a host failure, said on stderr). Every wait for
// the change lock is bounded and ends early on a pending termination, so no
// holder elsewhere can hang a start or a stop.
//
// What a removal from outside (a hand, a cleaner of /tmp) does to this: a
// stop checks its entry and then unlinks without the lock, and a claimant or
// a cleaner examines and then unlinks, so an outside removal in between,
// followed by another start's link, lets that unlink take the newer live
// entry. Its holder is told (keeping.cpp) and puts it back, as it does after
// any removal; the name settles back to one holder.
//
// protocol.pml models these steps, one per system call, and checks them.
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
#include "rtkernel/hosted/root/entry.h"
#include "rtkernel/hosted/root/locks.h"
#include "rtkernel/hosted/root/notes.h"
#include "rtkernel/hosted/unique_fd.h"
#include "rtkernel/kernel.h"

namespace hosted {

// The file that marks a directory as a root directory (recognition.cpp). It
// begins with '.', so no name can ever stand for it.
inline constexpr const char* kRootDirectoryMark = ".root-directory";

// What a removal of something with no live owner may take: a cleaner takes
// only dead entries unasked; whatever has no live owner goes only where a start
// replaces it at its own name, or where an operator names it.
enum class Ownerless { DeadEntriesOnly, Anything };

class RootDirectory {
public:
    // Creates the directory (0700 whatever the umask, marked as a root
    // directory) when it is missing, and refuses, each with its own error, one
    // that is a symlink or not a directory, is not a root directory, is not the
    // user's own, is writable by others, or that this process cannot read,
    // search and write: every later call would fail. An unmarked directory
    // that holds only what the kernel writes is adopted and marked.
    static ErrorCode Open(const std::string& path, std::unique_ptr<RootDirectory>& opened);
    // The same refusals, but a missing directory is reported (NameNotFound)
    // rather than created, and nothing is marked: looking must not leave
    // anything behind.
    static ErrorCode OpenExisting(const std::string& path, std::unique_ptr<RootDirectory>& opened);

    ErrorCode Catalog(const char* name, std::uint16_t type, Handle object);
    // Waits up to waitMs (kWaitForever: no limit) for the name to appear.
    ErrorCode Lookup(const char* name, std::uint32_t waitMs, std::shared_ptr<RootEntry>& found);
    // Removes the caller's own entry, or one whose owner is gone; never an
    // entry that a live object holds, never a directory. `removed` tells which
    // file went, so that handles to it can go too; it stays empty (FileId{})
    // when another process removed what this one had found ownerless.
    ErrorCode Uncatalog(const char* name, FileId& removed);
    // An operator's removal of what has no live owner at the name, within scope.
    ErrorCode Clean(const char* name, Ownerless scope, FileId& removed);
    // Work files whose creators died before linking them; with dryRun, only
    // which ones would go.
    ErrorCode RemoveAbandonedWorkFiles(bool dryRun, std::vector<std::string>& removed);

    // Everything that stands in the directory, names and work files alike.
    ErrorCode ListFiles(std::vector<std::string>& files) const;
    // One look at what stands at the name, changing nothing, not even the
    // mode of a file that cannot be read: NameNotFound when nothing stands
    // there (or the name keeps being replaced while looked at).
    ErrorCode Examine(const char* name, NameExamination& found) const;

    const std::string& Path() const { return path_; }

    // How a holder keeps its names (keeping.cpp). The process kernel names a
    // signal, blocked in every thread, that the operating system raises when
    // anything is removed from the directory or from the one it lies in, so
    // that noticing costs no wake-up while nothing happens. On it, the holder
    // looks at its names: an entry or the mark removed from under it, or the
    // whole directory removed or renamed away, is put back where the name is
    // free; where another process holds the name by now, the name is Lost and
    // the holder is to end. A file system mounted over the directory raises
    // nothing and goes unnoticed.
    static void NoticeRemovalsWith(int signal);
    enum class Keeping { Kept, PutBack, Lost };
    Keeping KeepOwnNames();

    // For tests: claim through work names, as on a file system that has no
    // unnamed files; and a pause inside the removal lock, to widen races.
    static void UseWorkNamesOnly(bool only);
    static void PauseBeforeUnlink(unsigned milliseconds);

private:
    struct OwnedEntry {
        UniqueFd file;  // holds the lock that keeps the entry alive
        FileId id;
        std::uint16_t type = 0;  // what the entry records, to write it again should it be removed
        Handle object = 0;
    };

    enum class Recognition { Marked, Adoptable, Foreign, CannotTell };

    RootDirectory(std::string path, UniqueFd directory);
    // Whether this is a root directory; for Foreign, `stranger` is the first
    // thing found that says it is not.
    Recognition Recognise(std::string& stranger) const;
    ErrorCode LeaveMark() const;
    bool MarkStands() const;
    static ErrorCode OpenAs(const std::string& path, bool create, std::unique_ptr<RootDirectory>& opened);
    int Fd() const { return Directory()->Get(); }
    std::shared_ptr<const UniqueFd> Directory() const {
        std::lock_guard lock(directoryMutex_);
        return directory_;
    }
    std::string Subject() const;
    ErrorCode HostFailure(const char* action, int error, const char* name = nullptr) const;
    ErrorCode ChangeLockFailure(int error, const char* name) const;
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
    ErrorCode WriteAndLink(const char* name, std::uint16_t type, Handle object, UniqueFd& file, FileId& id);
    ErrorCode TryCatalog(const char* name, std::uint16_t type, Handle object, UniqueFd& file, FileId& id,
                         bool& again);
    ErrorCode LinkOrClaim(UniqueFd& file, const std::string& workName, const char* name, bool& again);
    ErrorCode ClearOrClaim(const char* name, const NameExamination& found, bool& cleared);
    void WatchForRemovals();
    bool DirectoryStillStands() const;
    bool AllInPlace() const;
    bool MakeDirectoryAgain();
    Keeping KeepName(const std::string& name, OwnedEntry& owned);
    ErrorCode PutBack(const std::string& name, OwnedEntry& owned);
    ErrorCode RemoveOwn(const char* name, FileId own, FileId& removed);
    ErrorCode RemoveOwnerless(const char* name, Ownerless scope, ModeRepair repair, FileId& removed);
    void SweepAbandonedWorkFiles();

    std::string path_;
    // Replaced only when the directory is made again; every descriptor it ever
    // held stays open in retired_, so a thread still using one is never
    // handed a number reused for something else.
    mutable std::mutex directoryMutex_;
    std::shared_ptr<const UniqueFd> directory_;
    std::mutex mutex_;
    std::map<std::string, OwnedEntry, std::less<>> owned_;
    std::set<std::string, std::less<>> lost_;  // names another process took while this one held them
    std::vector<std::shared_ptr<const UniqueFd>> retired_;
    bool watching_ = false;  // the operating system signals removals from the directory
    UniqueFd parent_;        // watched for the directory's being moved away
    // Written by lookups too, which change nothing in the directory.
    mutable NameNotes notes_;
    unsigned workNameCounter_ = 0;
};

}  // namespace hosted
