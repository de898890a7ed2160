// How a name goes: an owner removes its own live entry; anything else that
// stands at a name is removed only while it has no live owner, examined and
// unlinked inside one hold of the change lock.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "rtkernel/hosted/host_output.h"
#include "rtkernel/hosted/names.h"
#include "rtkernel/hosted/root/directory.h"
#include "rtkernel/hosted/root/locks.h"

namespace hosted {
namespace {

std::atomic<unsigned> pauseBeforeUnlinkMs{0};

void PauseForTests() {
    if (const unsigned pause = pauseBeforeUnlinkMs.load(); pause != 0) {
        usleep(pause * 1000);
    }
}

}  // namespace

ErrorCode RootDirectory::Uncatalog(const char* name, FileId& removed) {
    if (!ValidName(name)) {
        return ErrorCode::BadName;
    }
    removed = FileId{};
    std::lock_guard lock(mutex_);
    const auto own = owned_.find(name);
    if (own == owned_.end()) {
        const ErrorCode result = RemoveOwnerless(name, removed);
        if (result != ErrorCode::None) {
            ForgetClaim(name);  // the replacement it was for will not follow
        }
        return result;
    }
    const ErrorCode result = RemoveOwn(name, own->second.id, removed);
    if (result != ErrorCode::RootNotWritable && result != ErrorCode::HostFailure) {
        owned_.erase(own);
    }
    return result;
}

// No lock is needed around the owner's own removal: while the owner lives no
// remover takes its entry, and no link can put anything at a name that is
// taken, so the name still stands for the entry between the check and the
// unlink.
ErrorCode RootDirectory::RemoveOwn(const char* name, FileId own, FileId& removed) {
    EntryStatus now;
    if (const int error = StatEntry(Fd(), name, now); error != 0) {
        return error == ENOENT ? ErrorCode::NameNotFound : HostFailure("cannot examine", error, name);
    }
    if (now.id != own) {
        return ErrorCode::NotOwner;
    }
    PauseForTests();
    if (unlinkat(Fd(), name, 0) != 0) {
        return HostFailure("cannot remove", errno, name);
    }
    removed = own;
    return ErrorCode::None;
}

// Examined and unlinked in one hold of the change lock, so what goes is what
// was examined: no other remover acts in between, nothing can be linked over
// it, and only its owner could remove a live entry, which this one is not.
ErrorCode RootDirectory::RemoveOwnerless(const char* name, FileId& removed) {
    const ChangeLock lock(Fd());
    if (lock.Result() != ErrorCode::None) {
        return ChangeLockFailure(lock, name);
    }
    EntryStatus status;
    if (const int error = StatEntry(Fd(), name, status); error != 0) {
        if (error != ENOENT) {
            return HostFailure("cannot examine", error, name);
        }
        // Another remover got there first: the removal this process asked for,
        // of something it found ownerless, has happened.
        return SawOwnerless(name) ? ErrorCode::None : ErrorCode::NameNotFound;
    }
    if (status.kind == EntryKind::Directory) {
        return ErrorCode::NotAnEntry;
    }
    if (!HoldsClaim(name) && ClaimedByAnother(Fd(), name)) {
        return ErrorCode::NotOwner;  // a starting process replaces it
    }
    if (const ErrorCode owner = CheckOwnerless(name, status); owner != ErrorCode::None) {
        return owner;
    }
    PauseForTests();
    if (unlinkat(Fd(), name, 0) != 0) {
        return HostFailure("cannot remove", errno, name);
    }
    removed = status.id;
    ForgetOwnerless(name);
    return ErrorCode::None;
}

// None when nothing lives behind what stands at the name. Only an entry file
// of this user's can have a live owner, who holds its lock; what can hold no
// lock, and another user's file, never has one here.
ErrorCode RootDirectory::CheckOwnerless(const char* name, const EntryStatus& status) const {
    if (status.kind != EntryKind::EntryFile) {
        return ErrorCode::None;
    }
    UniqueFd file;
    const int error = OpenEntryFile(Fd(), name, status.id, O_RDONLY, file);
    if (error == ENOENT || error == ESTALE) {
        return ErrorCode::NotOwner;  // its owner removed it this instant: it was live
    }
    if (error != 0) {
        return HostFailure("cannot open", error, name);
    }
    return OwnerHoldsEntryLock(file.Get()) ? ErrorCode::NotOwner : ErrorCode::None;
}

ErrorCode RootDirectory::ChangeLockFailure(const ChangeLock& lock, const char* name) const {
    const std::string what = std::string("cannot lock for a change of ") + name;
    switch (lock.Result()) {
        case ErrorCode::RootBusy:
            DiagnoseHostFailure(Subject(), (what + ": held elsewhere for too long").c_str(), 0);
            return ErrorCode::RootBusy;
        case ErrorCode::Interrupted:
            return ErrorCode::Interrupted;
        default:
            return HostFailure(what.c_str(), lock.Error());
    }
}

void RootDirectory::PauseBeforeUnlink(unsigned milliseconds) {
    pauseBeforeUnlinkMs.store(milliseconds);
}

}  // namespace hosted
