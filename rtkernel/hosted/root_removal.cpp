// How a name goes: by its owner, or by whoever proves the owner dead, with the
// last check and the unlink under the removal lock and the file held open; and
// the claims that keep cleaners off an entry a starting process will replace.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "rtkernel/hosted/names.h"
#include "rtkernel/hosted/root_directory.h"
#include "rtkernel/hosted/root_removal_lock.h"

namespace hosted {
namespace {

std::atomic<unsigned> pauseBeforeUnlinkMs{0};

}  // namespace

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
    const ErrorCode result = UnlinkIfNamedAs(name, own->second.id, removed);
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
    if (respectClaims && ClaimPending(pinned)) {
        return ErrorCode::NotOwner;
    }
    struct stat held {};
    if (fstat(pinned, &held) != 0) {
        return HostFailure("cannot examine", errno, name);
    }
    return UnlinkIfNamedAs(name, IdOf(held), removed);
}

// The last check and the unlink. Our own live entry needs no removal lock
// around them: no other remover can take its lock, so nobody else can unlink
// it or put another file at its name meanwhile.
ErrorCode RootDirectory::UnlinkIfNamedAs(const char* name, FileId held, FileId& removed) {
    EntryStatus now;
    if (const int error = StatEntry(Fd(), name, now); error != 0) {
        return error == ENOENT ? ErrorCode::NameNotFound : HostFailure("cannot examine", error, name);
    }
    if (now.id != held) {
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

void RootDirectory::PauseBeforeUnlink(unsigned milliseconds) {
    pauseBeforeUnlinkMs.store(milliseconds);
}

}  // namespace hosted
