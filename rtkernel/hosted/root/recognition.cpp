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

enum class Mark { Stands, BeingWritten, Foreign, Missing };

// A mark that holds the start of its text is being written by the process
// that made the directory an instant ago: the directory is judged by what it
// holds, as one without a mark is.
Mark MarkAt(int directory) {
    const UniqueFd mark(
        openat(directory, kRootDirectoryMark, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!mark.Valid()) {
        return errno == ENOENT ? Mark::Missing : Mark::Foreign;
    }
    struct stat status {};
    if (fstat(mark.Get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return Mark::Foreign;
    }
    char text[kMarkText.size() + 1] = {};
    const ssize_t length = pread(mark.Get(), text, sizeof text, 0);
    if (length < 0 || static_cast<std::size_t>(length) > kMarkText.size() ||
        !kMarkText.starts_with(std::string_view(text, static_cast<std::size_t>(length)))) {
        return Mark::Foreign;
    }
    return static_cast<std::size_t>(length) == kMarkText.size() ? Mark::Stands : Mark::BeingWritten;
}

// Only what the kernel itself writes: entries with a whole record at a name,
// and work files holding nothing or a whole record. Anything the kernel cannot
// read is not known to be its own.
bool KernelsOwn(int directory, const std::string& file) {
    NameExamination found;
    if (ExamineName(directory, file.c_str(), ModeRepair::Never, found) != 0 ||
        found.status.kind != EntryKind::EntryFile || found.holder == Holder::Unknown) {
        return false;
    }
    if (ValidName(file.c_str())) {
        return RecordedType(found.record) != 0;
    }
    return IsWorkName(file) && (found.record.empty() || RecordedType(found.record) != 0);
}

}  // namespace

RootDirectory::Recognition RootDirectory::Recognise(std::string& stranger) const {
    const Mark mark = MarkAt(Fd());
    if (mark == Mark::Stands) {
        return Recognition::Marked;
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
        if (file != kRootDirectoryMark && !KernelsOwn(Fd(), file)) {
            stranger = file;
            return Recognition::Foreign;
        }
    }
    return Recognition::Adoptable;
}

// Written whole or not at all: a mark cut short would make the directory a
// stranger to every later look.
ErrorCode RootDirectory::LeaveMark() const {
    UniqueFd mark(
        openat(Fd(), kRootDirectoryMark, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kMarkMode));
    if (!mark.Valid()) {
        return errno == EEXIST ? ErrorCode::None : HostFailure("cannot mark as a root directory", errno);
    }
    // Readable by its owner whatever the umask, or the next look could not
    // tell the directory for what it is.
    errno = 0;
    if (fchmod(mark.Get(), kMarkMode) != 0 ||
        write(mark.Get(), kMarkText.data(), kMarkText.size()) != static_cast<ssize_t>(kMarkText.size())) {
        const int error = errno == 0 ? ENOSPC : errno;
        (void)unlinkat(Fd(), kRootDirectoryMark, 0);
        return HostFailure("cannot mark as a root directory", error);
    }
    return ErrorCode::None;
}

}  // namespace hosted
