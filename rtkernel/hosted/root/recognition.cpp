// How a root directory is told from any other directory: by the mark the
// kernel leaves in one when it makes or adopts it. A directory without the
// mark is taken for one only while everything in it is the kernel's own (an
// empty directory made by hand or by the system's tmpfiles, or one that an
// earlier version kept), so that no path given by mistake ($HOME, /, /etc, a
// project folder) is ever read as names, let alone cleaned.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "rtkernel/hosted/names.h"
#include "rtkernel/hosted/root/directory.h"

namespace hosted {
namespace {

constexpr std::string_view kMarkText = "rtroot directory 1\n";
constexpr mode_t kMarkMode = 0644;

enum class Mark { Stands, Incomplete, Foreign, Missing, CannotTell };

bool Strange(int error) {
    return error == ELOOP || error == EACCES || error == EPERM || error == ENXIO;
}

// A mark that holds only the start of its text was cut short by a crash of a
// version that wrote it in place: the directory is judged by what it holds,
// as one without a mark is, and the mark is made whole when it is adopted.
// A failure to look (EMFILE, ENOMEM, EIO) is no verdict on the directory:
// `error` says it.
Mark MarkAt(int directory, int& error) {
    error = 0;
    const UniqueFd mark(
        openat(directory, kRootDirectoryMark, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!mark.Valid()) {
        error = errno;
        return error == ENOENT ? Mark::Missing : Strange(error) ? Mark::Foreign : Mark::CannotTell;
    }
    struct stat status {};
    if (fstat(mark.Get(), &status) != 0) {
        error = errno;
        return Mark::CannotTell;
    }
    if (!S_ISREG(status.st_mode)) {
        return Mark::Foreign;
    }
    char text[kMarkText.size() + 1] = {};
    const ssize_t length = pread(mark.Get(), text, sizeof text, 0);
    if (length < 0) {
        error = errno;
        return Mark::CannotTell;
    }
    if (static_cast<std::size_t>(length) > kMarkText.size() ||
        !kMarkText.starts_with(std::string_view(text, static_cast<std::size_t>(length)))) {
        return Mark::Foreign;
    }
    return static_cast<std::size_t>(length) == kMarkText.size() ? Mark::Stands : Mark::Incomplete;
}

enum class Kind { KernelsOwn, Stranger, CannotTell };

// Only what the kernel itself writes: entries with a whole record at a name,
// and work files holding nothing or a whole record. Anything the kernel cannot
// read is not known to be its own; a file gone since the listing is nothing.
Kind KindOf(int directory, const std::string& file, int& error) {
    NameExamination found;
    error = ExamineName(directory, file.c_str(), ModeRepair::Never, found);
    if (error == ENOENT || error == ESTALE) {
        error = 0;
        return Kind::KernelsOwn;
    }
    if (error != 0) {
        return Strange(error) ? Kind::Stranger : Kind::CannotTell;
    }
    if (found.status.kind != EntryKind::EntryFile || found.holder == Holder::Unknown) {
        return Kind::Stranger;
    }
    if (ValidName(file.c_str())) {
        return RecordedType(found.record) != 0 ? Kind::KernelsOwn : Kind::Stranger;
    }
    return IsWorkName(file) && (found.record.empty() || RecordedType(found.record) != 0) ? Kind::KernelsOwn
                                                                                         : Kind::Stranger;
}

}  // namespace

RootDirectory::Recognition RootDirectory::Recognise(std::string& stranger) const {
    int error = 0;
    const Mark mark = MarkAt(Fd(), error);
    if (mark == Mark::Stands) {
        return Recognition::Marked;
    }
    if (mark == Mark::CannotTell) {
        (void)HostFailure("cannot read the mark", error, kRootDirectoryMark);
        return Recognition::CannotTell;
    }
    if (mark == Mark::Foreign) {
        stranger = kRootDirectoryMark;  // a mark of another format, or one that cannot be read
        return Recognition::Foreign;
    }
    std::vector<std::string> files;
    if (ListFiles(files) != ErrorCode::None) {
        return Recognition::CannotTell;  // said on stderr; the checks that follow say why
    }
    for (const std::string& file : files) {
        if (file == kRootDirectoryMark) {
            continue;
        }
        const Kind kind = KindOf(Fd(), file, error);
        if (kind == Kind::CannotTell) {
            (void)HostFailure("cannot examine", error, file.c_str());
            return Recognition::CannotTell;
        }
        if (kind == Kind::Stranger) {
            stranger = file;
            return Recognition::Foreign;
        }
    }
    return Recognition::Adoptable;
}

bool RootDirectory::MarkStands() const {
    int error = 0;
    return MarkAt(Fd(), error) == Mark::Stands;
}

// The mark is written whole under no name and then linked, so that a crash at
// any instant leaves either a whole mark or none, and a directory with none
// is adopted again. A mark cut short by an older version is replaced; where
// the file system has no unnamed files, the mark is written in place.
ErrorCode RootDirectory::LeaveMark() const {
    UniqueFd mark(openat(Fd(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, kMarkMode));
    const bool unnamed = mark.Valid();
    if (!unnamed) {
        mark.Reset(openat(Fd(), kRootDirectoryMark, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          kMarkMode));
    }
    if (!mark.Valid()) {
        return errno == EEXIST ? ErrorCode::None : HostFailure("cannot mark as a root directory", errno);
    }
    // Readable by its owner whatever the umask, or the next look could not
    // tell the directory for what it is.
    errno = 0;
    if (fchmod(mark.Get(), kMarkMode) != 0 ||
        write(mark.Get(), kMarkText.data(), kMarkText.size()) != static_cast<ssize_t>(kMarkText.size())) {
        const int error = errno == 0 ? ENOSPC : errno;
        if (!unnamed) {
            (void)unlinkat(Fd(), kRootDirectoryMark, 0);
        }
        return HostFailure("cannot mark as a root directory", error);
    }
    if (!unnamed) {
        return ErrorCode::None;
    }
    // Another start may link its own whole mark first; one cut short goes.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int error = LinkUnnamed(mark.Get(), Fd(), kRootDirectoryMark);
        if (error == 0 || (error == EEXIST && MarkStands())) {
            return ErrorCode::None;
        }
        if (error != EEXIST) {
            return HostFailure("cannot mark as a root directory", error);
        }
        int found = 0;
        const Mark now = MarkAt(Fd(), found);
        if (now == Mark::Incomplete) {
            (void)unlinkat(Fd(), kRootDirectoryMark, 0);
        } else if (now != Mark::Missing) {
            break;  // something else stands there now: not the kernel's to replace
        }
    }
    return HostFailure("cannot mark as a root directory", EEXIST);
}

}  // namespace hosted
