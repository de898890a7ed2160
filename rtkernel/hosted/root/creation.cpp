// How a name comes to be: its entry written, locked and given its mode while
// it has no name, then linked to the name, which never replaces what stands
// there; and the claim of a name that something ownerless stands in the way of.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "rtkernel/hosted/host_output.h"
#include "rtkernel/hosted/names.h"
#include "rtkernel/hosted/root/directory.h"
#include "rtkernel/hosted/root/locks.h"

namespace hosted {
namespace {

constexpr unsigned kWorkNameAttempts = 16;
// A work file lives for microseconds; one this old was left by a process that
// died between creating and linking it.
constexpr time_t kAbandonedWorkFileSeconds = 60;

std::atomic<bool> workNamesOnly{false};

}  // namespace

ErrorCode RootDirectory::CreateUnnamedEntry(UniqueFd& file) {
    file.Reset(openat(Fd(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, kEntryFileMode));
    if (file.Valid()) {
        return ErrorCode::None;
    }
    if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
        return ErrorCode::NameNotFound;  // no unnamed files here: the caller uses a work name
    }
    return HostFailure("cannot create entry", errno);
}

// A work name stands in for an unnamed file where the file system has none.
// Another process may have left one under the name this process would pick
// (it died before linking it, and its pid came round again): the next is taken.
ErrorCode RootDirectory::CreateWorkEntry(std::string& workName, UniqueFd& file) {
    SweepAbandonedWorkFiles();
    for (unsigned attempt = 0; attempt < kWorkNameAttempts; ++attempt) {
        workName = std::string(kWorkNamePrefix) + std::to_string(getpid()) + "-" +
                   std::to_string(++workNameCounter_);
        file.Reset(openat(Fd(), workName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          kEntryFileMode));
        if (file.Valid()) {
            return ErrorCode::None;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    const int error = errno;
    workName.clear();
    return HostFailure("cannot create work file", error);
}

// An entry is locked and written before it has a name, so that it appears
// complete and owned at the instant it is linked. Its mode is set outright:
// the creator's umask must not decide who can read the record.
ErrorCode RootDirectory::CreateLockedEntry(std::uint16_t type, Handle object, std::string& workName,
                                           UniqueFd& file, FileId& id) {
    workName.clear();
    ErrorCode created = workNamesOnly.load() ? ErrorCode::NameNotFound : CreateUnnamedEntry(file);
    if (created == ErrorCode::NameNotFound) {
        created = CreateWorkEntry(workName, file);
    }
    if (created != ErrorCode::None) {
        return created;
    }
    const std::string record = EntryRecord(type, object);
    ErrorCode result = ErrorCode::None;
    struct stat status {};
    if (const int error = TakeEntryLock(file.Get()); error != 0) {
        result = HostFailure("cannot lock entry", error);
    } else if (fstat(file.Get(), &status) != 0) {
        result = HostFailure("cannot examine entry", errno);
    } else if ((status.st_mode & 07777) != kEntryFileMode && fchmod(file.Get(), kEntryFileMode) != 0) {
        result = HostFailure("cannot set entry mode", errno);
    } else if (write(file.Get(), record.data(), record.size()) != static_cast<ssize_t>(record.size())) {
        result = HostFailure("cannot write entry", errno == 0 ? ENOSPC : errno);
    }
    if (result != ErrorCode::None && !workName.empty()) {
        unlinkat(Fd(), workName.c_str(), 0);
    }
    id = IdOf(status);
    return result;
}

// link() never replaces an existing name: of all racers exactly one succeeds.
ErrorCode RootDirectory::LinkEntry(const UniqueFd& file, const std::string& workName, const char* name) {
    int error = 0;
    if (workName.empty()) {
        error = LinkUnnamed(file.Get(), Fd(), name);
    } else if (linkat(Fd(), workName.c_str(), Fd(), name, 0) != 0) {
        error = errno;
    }
    if (error == 0) {
        return ErrorCode::None;
    }
    return error == EEXIST ? ErrorCode::NameTaken : HostFailure("cannot link entry", error, name);
}

ErrorCode RootDirectory::Catalog(const char* name, std::uint16_t type, Handle object) {
    if (!ValidName(name)) {
        return ErrorCode::BadName;
    }
    std::lock_guard lock(mutex_);
    UniqueFd file;
    FileId id;
    ErrorCode linked = WriteAndLink(name, type, object, file, id);
    // The directory was removed from under the start: made again, and tried once more.
    if (linked != ErrorCode::None && linked != ErrorCode::NameTaken && !DirectoryStillStands() &&
        MakeDirectoryAgain()) {
        DiagnoseHostFailure(Subject(), "was removed while this process was adding a name to it: made again",
                            0);
        linked = WriteAndLink(name, type, object, file, id);
    }
    if (linked != ErrorCode::None) {
        return linked;
    }
    owned_.insert_or_assign(name, OwnedEntry{std::move(file), id, type, object});
    lost_.erase(std::string(name));
    notes_.ForgetOwnerless(name);
    notes_.ForgetClaim(name);
    WatchForRemovals();
    return ErrorCode::None;
}

// Where the name was freed in the change lock's hold (this process removed
// what had no live owner at a name it replaces, or found the name gone once
// its entry was closed), the entry is written again, for as long as that
// goes on: each round needs another process to have put something at the
// name and left it ownerless, or to have removed it, since the last. A round
// ends the loop where it finds a live holder, a directory, or a thing this
// process only claims; every round waits for the change lock, which a
// termination ends.
ErrorCode RootDirectory::WriteAndLink(const char* name, std::uint16_t type, Handle object, UniqueFd& file,
                                      FileId& id) {
    for (;;) {
        bool again = false;
        const ErrorCode linked = TryCatalog(name, type, object, file, id, again);
        if (!again) {
            return linked;
        }
    }
}

ErrorCode RootDirectory::TryCatalog(const char* name, std::uint16_t type, Handle object, UniqueFd& file,
                                    FileId& id, bool& again) {
    std::string workName;
    if (const ErrorCode created = CreateLockedEntry(type, object, workName, file, id);
        created != ErrorCode::None) {
        return created;
    }
    ErrorCode linked = LinkEntry(file, workName, name);
    if (linked == ErrorCode::NameTaken) {
        linked = LinkOrClaim(file, workName, name, again);
    }
    if (!workName.empty()) {
        unlinkat(Fd(), workName.c_str(), 0);
    }
    return linked;
}

// The second try, inside the change lock: what stands at the name now stays
// there until the lock is let go, unless its live owner (or a hand) removes
// it. Found ownerless, it is claimed in the same hold; where this process
// claimed the name already (its replacement's catalog, or a holder putting
// its own name back), it is removed in that same hold. `again` says that the
// name was freed meanwhile, so that the entry, closed for the examination, is
// to be written again.
ErrorCode RootDirectory::LinkOrClaim(UniqueFd& file, const std::string& workName, const char* name,
                                     bool& again) {
    again = false;
    ChangeLock lock;
    if (const int error = TakeChangeLock(Fd(), lock); error != 0) {
        return ChangeLockFailure(error, name);
    }
    if (const ErrorCode linked = LinkEntry(file, workName, name); linked != ErrorCode::NameTaken) {
        return linked;
    }
    file.Reset();  // the examination needs no more descriptors than the entry did
    NameExamination found;
    if (const int error = ExamineName(Fd(), name, ModeRepair::AtOwnName, found); error != 0) {
        if (error == ENOENT || error == ESTALE) {
            again = true;  // removed, or replaced, since the link
            return ErrorCode::NameTaken;
        }
        return HostFailure("cannot examine", error, name);
    }
    if (found.status.kind == EntryKind::Directory) {
        return ErrorCode::NameTaken;
    }
    return ClearOrClaim(name, found, again);
}

// What was found in the way, in the change lock's hold: removed where this
// process had claimed the name already, claimed where it has no live owner,
// and left to a live holder.
ErrorCode RootDirectory::ClearOrClaim(const char* name, const NameExamination& found, bool& cleared) {
    if (found.holder == Holder::None && notes_.HoldsClaim(name)) {
        cleared = unlinkat(Fd(), name, 0) == 0 || errno == ENOENT;
        return cleared ? ErrorCode::NameTaken : HostFailure("cannot remove", errno, name);
    }
    if (found.holder == Holder::None) {
        notes_.Claim(name);
        notes_.NoteOwnerless(name);
    } else {
        notes_.ForgetClaim(name);  // a live holder has it now: there is nothing left to replace
    }
    return ErrorCode::NameTaken;
}

namespace {

// A work file whose creator died before linking it: the kernel's own shape of
// name, a file of this user's holding nothing or a whole record, whose lock
// nobody holds, and untouched for long enough that no creator is still at it.
bool AbandonedWorkFile(const std::string& file, const NameExamination& found, time_t now) {
    return IsWorkName(file) && found.status.kind == EntryKind::EntryFile && found.holder == Holder::None &&
           (found.record.empty() || RecordedType(found.record) != 0) &&
           now - found.status.modifiedAt >= kAbandonedWorkFileSeconds;
}

bool OldEnough(int directory, const std::string& file, time_t now) {
    struct stat status {};
    return fstatat(directory, file.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
           now - status.st_mtim.tv_sec >= kAbandonedWorkFileSeconds;
}

}  // namespace

// Work files left by processes that died before linking them are removed, so
// they neither pile up nor stand in anyone's way. They go as any ownerless
// thing goes, examined and unlinked inside the change lock.
ErrorCode RootDirectory::RemoveAbandonedWorkFiles(bool dryRun, std::vector<std::string>& removed) {
    removed.clear();
    std::vector<std::string> files;
    if (const ErrorCode listed = ListFiles(files); listed != ErrorCode::None) {
        return listed;
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    // Looked at without the lock first, so that a directory with no old work
    // file costs no lock at all.
    std::erase_if(files, [&](const std::string& file) {
        return !IsWorkName(file) || !OldEnough(Fd(), file, now.tv_sec);
    });
    if (files.empty()) {
        return ErrorCode::None;
    }
    ChangeLock lock;
    if (const int error = TakeChangeLock(Fd(), lock); error != 0) {
        return ChangeLockFailure(error, "work files");
    }
    for (const std::string& file : files) {
        NameExamination found;
        if (ExamineName(Fd(), file.c_str(), ModeRepair::Never, found) != 0 ||
            !AbandonedWorkFile(file, found, now.tv_sec)) {
            continue;
        }
        if (dryRun || unlinkat(Fd(), file.c_str(), 0) == 0) {
            removed.push_back(file);
        }
    }
    return ErrorCode::None;
}

// Before a claim through a work name, so that abandoned ones do not pile up;
// one the sweep cannot remove now is tried again by the next claimant.
void RootDirectory::SweepAbandonedWorkFiles() {
    std::vector<std::string> removed;
    (void)RemoveAbandonedWorkFiles(false, removed);
}

void RootDirectory::UseWorkNamesOnly(bool only) {
    workNamesOnly.store(only);
}

}  // namespace hosted
