// Where the root directory is, which directory is safe to use, and how its failures are said.
#include "rtkernel/hosted/root/directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>

#include "rtkernel/hosted/host_output.h"
#include "rtkernel/hosted/names.h"
#include "rtkernel/hosted/root/locks.h"
#include "rtkernel/hosted/root/path.h"

namespace hosted {
namespace {

constexpr mode_t kDirectoryMode = 0700;

bool PermissionError(int error) {
    return error == EACCES || error == EPERM || error == EROFS;
}

const char* RefusalReason(ErrorCode refusal) {
    switch (refusal) {
        case ErrorCode::RootNotDirectory:
            return "refused: a symlink or not a directory";
        case ErrorCode::RootNotOwned:
            return "refused: owned by another user";
        default:
            return "refused: writable by group or others";
    }
}

ErrorCode RefuseUnsafe(const struct stat& status) {
    if (!S_ISDIR(status.st_mode)) {
        return ErrorCode::RootNotDirectory;
    }
    if (status.st_uid != EffectiveUser()) {
        return ErrorCode::RootNotOwned;
    }
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return ErrorCode::RootWritableByOthers;
    }
    return ErrorCode::None;
}

// What a stat of the directory found: a failure, an unsafe directory, each
// said on stderr and refused with its own error, or None.
ErrorCode Examine(const std::string& subject, int statResult, const struct stat& status) {
    if (statResult != 0) {
        DiagnoseHostFailure(subject, "cannot examine", errno);
        return ErrorCode::RootUnavailable;
    }
    const ErrorCode unsafe = RefuseUnsafe(status);
    if (unsafe != ErrorCode::None) {
        DiagnoseHostFailure(subject, RefusalReason(unsafe), 0);
    }
    return unsafe;
}

std::string SubjectOf(const std::string& path) {
    return "root directory " + path;
}

// Makes the directory when it is missing. The umask took its share of the
// mode at mkdir; the directory must be usable by every later instance
// whatever mask this one started with.
ErrorCode CreateIfMissing(const std::string& path, const std::string& subject) {
    if (mkdir(path.c_str(), kDirectoryMode) != 0) {
        if (errno == EEXIST) {
            return ErrorCode::None;
        }
        DiagnoseHostFailure(subject, "cannot create", errno);
        return PermissionError(errno) ? ErrorCode::RootNotWritable : ErrorCode::RootUnavailable;
    }
    if (chmod(path.c_str(), kDirectoryMode) != 0) {
        DiagnoseHostFailure(subject, "cannot make private", errno);
        return ErrorCode::RootUnavailable;
    }
    return ErrorCode::None;
}

// The name is looked at before it is opened, so that a directory of another
// user reads as that, not as one that merely cannot be opened. The first look
// asks only whether a directory is there; who owns it and who may write it are
// asked once it is known to be a root directory.
ErrorCode OpenDirectory(const std::string& path, const std::string& subject, UniqueFd& directory) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) {
        return Examine(subject, -1, status);
    }
    if (!S_ISDIR(status.st_mode)) {
        return Examine(subject, 0, status);
    }
    directory.Reset(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (directory.Valid()) {
        return ErrorCode::None;
    }
    const int error = errno;
    if (error == ELOOP || error == ENOTDIR) {
        DiagnoseHostFailure(subject, "cannot open", error);
        return ErrorCode::RootNotDirectory;
    }
    if (const ErrorCode unsafe = Examine(subject, 0, status); unsafe != ErrorCode::None) {
        return unsafe;  // another user's directory, say, reads as that
    }
    DiagnoseHostFailure(subject, "cannot open", error);
    return PermissionError(error) ? ErrorCode::RootNotWritable : ErrorCode::RootUnavailable;
}

// What was opened is looked at again, as the name may have been swapped
// meanwhile, and must be usable by this process: read, searched and, where
// it is to be changed, written. Looking needs no write permission, so that a
// read-only view (a read-only mount, a sandbox) can still be looked into.
ErrorCode CheckUsable(int directory, const std::string& subject, bool writing) {
    struct stat status {};
    if (const ErrorCode held = Examine(subject, fstat(directory, &status), status); held != ErrorCode::None) {
        return held;
    }
    if (faccessat(directory, ".", R_OK | X_OK | (writing ? W_OK : 0), AT_EACCESS) != 0) {
        DiagnoseHostFailure(subject, writing ? "cannot read, search and write" : "cannot read and search",
                            errno);
        return PermissionError(errno) ? ErrorCode::RootNotWritable : ErrorCode::RootUnavailable;
    }
    return ErrorCode::None;
}

}  // namespace

ErrorCode RootDirectory::Open(const std::string& path, std::unique_ptr<RootDirectory>& opened) {
    const std::string directory = WithoutTrailingSelfReferences(path);
    const ErrorCode result = OpenAs(directory, true, opened);
    // Removed while it was being made or examined (an rm -rf at that
    // instant): made once more.
    struct stat status {};
    if (result != ErrorCode::None && lstat(directory.c_str(), &status) != 0 && errno == ENOENT) {
        return OpenAs(directory, true, opened);
    }
    return result;
}

ErrorCode RootDirectory::OpenExisting(const std::string& path, std::unique_ptr<RootDirectory>& opened) {
    const std::string directory = WithoutTrailingSelfReferences(path);
    struct stat status {};
    if (lstat(directory.c_str(), &status) != 0 && errno == ENOENT) {
        return ErrorCode::NameNotFound;
    }
    return OpenAs(directory, false, opened);
}

// A directory that is not positively a root directory is refused before any
// other question is asked of it: nothing in it is read as a name. Looking
// leaves nothing behind; the service marks what it makes or adopts.
ErrorCode RootDirectory::OpenAs(const std::string& path, bool create,
                                std::unique_ptr<RootDirectory>& opened) {
    const std::string subject = SubjectOf(path);
    UniqueFd directory;
    if (const ErrorCode made = create ? CreateIfMissing(path, subject) : ErrorCode::None;
        made != ErrorCode::None) {
        return made;
    }
    if (const ErrorCode open = OpenDirectory(path, subject, directory); open != ErrorCode::None) {
        return open;
    }
    std::unique_ptr<RootDirectory> root(new RootDirectory(path, std::move(directory)));
    std::string stranger;
    const Recognition recognised = root->Recognise(stranger);
    if (recognised == Recognition::Foreign) {
        DiagnoseHostFailure(
            subject,
            ("refused: not a root directory: it holds " + stranger + ", which no kernel wrote").c_str(), 0);
        return ErrorCode::NotARootDirectory;
    }
    if (const ErrorCode usable = CheckUsable(root->Fd(), subject, create); usable != ErrorCode::None) {
        return usable;
    }
    if (recognised == Recognition::CannotTell) {
        return ErrorCode::RootUnavailable;  // the listing's failure is said already
    }
    if (create && recognised == Recognition::Adoptable) {
        if (const ErrorCode marked = root->LeaveMark(); marked != ErrorCode::None) {
            return marked;
        }
    }
    opened = std::move(root);
    return ErrorCode::None;
}

RootDirectory::RootDirectory(std::string path, UniqueFd directory)
    : path_(std::move(path)), directory_(std::make_shared<const UniqueFd>(std::move(directory))) {}

std::string RootDirectory::Subject() const {
    return SubjectOf(path_);
}

// Says on stderr what failed, and gives the error a caller sees for it: a
// directory that refuses writing is told apart from any other host failure.
ErrorCode RootDirectory::HostFailure(const char* action, int error, const char* name) const {
    std::string what = action;
    if (name != nullptr) {
        what += std::string(" ") + name;
    }
    DiagnoseHostFailure(Subject(), what.c_str(), error);
    return PermissionError(error) ? ErrorCode::RootNotWritable : ErrorCode::HostFailure;
}

// Everything that stands in the directory, read through a descriptor of its
// own so that the directory's descriptor keeps no reading position.
ErrorCode RootDirectory::ListFiles(std::vector<std::string>& files) const {
    const int listing = openat(Fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* entries = listing >= 0 ? fdopendir(listing) : nullptr;
    if (entries == nullptr) {
        const int error = errno;
        if (listing >= 0) {
            close(listing);
        }
        return HostFailure("cannot list", error);
    }
    files.clear();
    for (;;) {
        // readdir says "the end" and "failed" alike with a null: only errno
        // tells them apart, and a failure must not pass for a short listing.
        errno = 0;
        // NOLINTNEXTLINE(concurrency-mt-unsafe): the stream is this call's own, read by this thread alone
        const dirent* entry = readdir(entries);
        if (entry == nullptr) {
            const int error = errno;
            closedir(entries);
            return error == 0 ? ErrorCode::None : HostFailure("cannot list", error);
        }
        const std::string_view file = entry->d_name;
        if (file != "." && file != "..") {
            files.emplace_back(file);
        }
    }
}

}  // namespace hosted
