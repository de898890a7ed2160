// The root directory as an operator's tool sees it: which names stand there
// and what each one is, by the same reading and liveness rule the kernel uses.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <string_view>

#include "rtkernel/hosted/names.h"
#include "rtkernel/hosted/root/directory.h"

namespace hosted {

// Only what a name can be: work files and anything else no caller could
// catalog are not names.
ErrorCode RootDirectory::ListNames(std::vector<std::string>& names) const {
    std::vector<std::string> files;
    if (const ErrorCode listed = ListFiles(files); listed != ErrorCode::None) {
        return listed;
    }
    names.clear();
    std::copy_if(files.begin(), files.end(), std::back_inserter(names),
                 [](const std::string& file) { return ValidName(file.c_str()); });
    std::sort(names.begin(), names.end());
    return ErrorCode::None;
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

// Live and stale are the kernel's own answer; damaged is whatever no live
// object can hold: a record that is not whole, or a file that is no entry;
// unknown is an entry file that cannot be read. Looking changes nothing, not
// even the mode of a file that cannot be read.
ErrorCode RootDirectory::Describe(const char* name, EntryReport& report) {
    if (!ValidName(name)) {
        return ErrorCode::BadName;
    }
    NameExamination found;
    int error = ESTALE;
    for (int attempt = 0; attempt < 4 && error == ESTALE; ++attempt) {
        error = ExamineName(Fd(), name, ModeRepair::Never, found);
    }
    if (error == ENOENT || error == ESTALE) {
        return ErrorCode::NameNotFound;
    }
    if (error != 0) {
        return HostFailure("cannot examine", error, name);
    }
    report = EntryReport{};
    report.kind = found.status.kind;
    report.modifiedAt = found.status.modifiedAt;
    report.type = found.status.kind == EntryKind::EntryFile ? RecordedType(found.record) : 0;
    if (found.holder == Holder::Unknown) {
        report.state = EntryReport::State::Unknown;
    } else if (report.type == 0) {
        report.state = EntryReport::State::Damaged;
    } else if (found.holder == Holder::Live) {
        report.state = EntryReport::State::Live;
        report.pid = RecordedPid(found.record);
    } else {
        report.state = EntryReport::State::Stale;
    }
    return ErrorCode::None;
}

}  // namespace hosted
