// The root directory as an operator's tool sees it: which names stand there
// and what each one is, by the same reading and liveness rule the kernel uses.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "rtkernel/hosted/names.h"
#include "rtkernel/hosted/root_directory.h"

namespace hosted {

// Only what a name can be: work files and anything else no caller could
// catalog are not names.
ErrorCode RootDirectory::ListNames(std::vector<std::string>& names) const {
    const int listing = openat(Fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* entries = listing >= 0 ? fdopendir(listing) : nullptr;
    if (entries == nullptr) {
        const int error = errno;
        if (listing >= 0) {
            close(listing);
        }
        return HostFailure("cannot list", error);
    }
    names.clear();
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the stream is this call's own, read by this thread alone
    while (const dirent* entry = readdir(entries)) {
        if (ValidName(entry->d_name)) {
            names.emplace_back(entry->d_name);
        }
    }
    closedir(entries);
    std::sort(names.begin(), names.end());
    return ErrorCode::None;
}

// Live and stale are the kernel's own answer; damaged is whatever no live
// object can hold: a record that is not whole, or a file that is no entry.
ErrorCode RootDirectory::Describe(const char* name, EntryReport& report) {
    std::shared_ptr<RootEntry> entry;
    if (const ErrorCode found = Lookup(name, 0, entry); found != ErrorCode::None) {
        return found;
    }
    report = EntryReport{};
    report.kind = entry->Kind();
    report.modifiedAt = entry->Status().modifiedAt;
    report.type = entry->Kind() == EntryKind::EntryFile ? RecordedType(entry->Record()) : 0;
    if (report.type == 0) {
        report.state = EntryReport::State::Damaged;
    } else if (entry->LiveType() != 0) {
        report.state = EntryReport::State::Live;
        report.pid = RecordedPid(entry->Record());
    } else {
        report.state = EntryReport::State::Stale;
    }
    return ErrorCode::None;
}

}  // namespace hosted
