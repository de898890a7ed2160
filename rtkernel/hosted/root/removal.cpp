// How a name goes: an owner removes its own live entry; anything else that
// stands at a name is removed only while it has no live owner, examined and
// unlinked inside one hold of the change lock.
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
    if (lost_.erase(std::string(name)) != 0) {
        return ErrorCode::None;  // no longer this process's to remove: said on stderr when it was lost
    }
    const auto own = owned_.find(name);
    if (own == owned_.end()) {
        // Whatever has no live owner may go only where this process is
        // replacing it at its own name; anything else, only a dead entry.
        const bool replacing = notes_.HoldsClaim(name);
        const ErrorCode result =
            RemoveOwnerless(name, replacing ? Ownerless::Anything : Ownerless::DeadEntriesOnly,
                            replacing ? ModeRepair::AtOwnName : ModeRepair::Never, removed);
        if (result != ErrorCode::None) {
            notes_.ForgetClaim(name);  // the replacement it was for will not follow
        }
        return result;
    }
    const ErrorCode result = RemoveOwn(name, own->second.id, removed);
    if (result != ErrorCode::RootNotWritable && result != ErrorCode::HostFailure) {
        owned_.erase(own);
    }
    return result;
}

ErrorCode RootDirectory::Clean(const char* name, Ownerless scope, FileId& removed) {
    if (!ValidName(name)) {
        return ErrorCode::BadName;
    }
    removed = FileId{};
    std::lock_guard lock(mutex_);
    return RemoveOwnerless(name, scope, ModeRepair::Never, removed);
}

// No lock is needed around the owner's own removal: while the owner lives no
// remover takes its entry, and no link can put anything at a name that is
// taken, so the name still stands for the entry between the check and the
// unlink.
ErrorCode RootDirectory::RemoveOwn(const char* name, FileId own, FileId& removed) {
    EntryStatus now;
    const int error = StatEntry(Fd(), name, now);
    if (error != 0 && error != ENOENT) {
        return HostFailure("cannot examine", error, name);
    }
    bool gone = error == ENOENT || now.id != own;
    if (!gone) {
        PauseForTests();
        const int unlinked = unlinkat(Fd(), name, 0) == 0 ? 0 : errno;
        if (unlinked != 0 && unlinked != ENOENT) {
            return HostFailure("cannot remove", unlinked, name);
        }
        gone = unlinked == ENOENT;
        removed = gone ? FileId{} : own;
    }
    // Removed from under the holder before it could notice (its stop came
    // first): the name is no longer its own, and nothing of it is left to remove.
    if (gone) {
        DiagnoseHostFailure(
            Subject(),
            (std::string("the entry of ") + name + " was removed while this process held it").c_str(), 0);
    }
    return ErrorCode::None;
}

// Examined and unlinked in one hold of the change lock, so what goes is what
// was examined: no other remover acts in between, nothing can be linked over
// it, and only its owner could remove a live entry, which this one is not.
ErrorCode RootDirectory::RemoveOwnerless(const char* name, Ownerless scope, ModeRepair repair,
                                         FileId& removed) {
    ChangeLock lock;
    if (const int error = TakeChangeLock(Fd(), lock); error != 0) {
        return ChangeLockFailure(error, name);
    }
    NameExamination found;
    const int error = ExamineName(Fd(), name, repair, found);
    if (error == ENOENT) {
        // Another remover got there first: the removal this process asked for,
        // of something it found ownerless, has happened.
        return notes_.SawOwnerless(name) ? ErrorCode::None : ErrorCode::NameNotFound;
    }
    if (error == ESTALE) {
        return ErrorCode::NotOwner;  // its owner removed it this instant, and a link took the name
    }
    if (error != 0) {
        return HostFailure("cannot examine", error, name);
    }
    if (found.status.kind == EntryKind::Directory) {
        return ErrorCode::NotAnEntry;
    }
    if (found.holder == Holder::Live) {
        return ErrorCode::NotOwner;
    }
    if (found.holder == Holder::Unknown) {
        return ErrorCode::Unreadable;
    }
    if (scope == Ownerless::DeadEntriesOnly && !found.DeadEntry()) {
        return ErrorCode::NotKernelEntry;
    }
    PauseForTests();
    if (unlinkat(Fd(), name, 0) != 0) {
        return HostFailure("cannot remove", errno, name);
    }
    removed = found.status.id;
    notes_.ForgetOwnerless(name);
    return ErrorCode::None;
}

ErrorCode RootDirectory::ChangeLockFailure(int error, const char* name) const {
    const std::string what = std::string("cannot lock for a change of ") + name;
    switch (error) {
        case ETIMEDOUT:
            DiagnoseHostFailure(Subject(), (what + ": held elsewhere for too long").c_str(), 0);
            return ErrorCode::RootBusy;
        case EINTR:
            return ErrorCode::Interrupted;
        default:
            return HostFailure(what.c_str(), error);
    }
}

void RootDirectory::PauseBeforeUnlink(unsigned milliseconds) {
    pauseBeforeUnlinkMs.store(milliseconds);
}

}  // namespace hosted
