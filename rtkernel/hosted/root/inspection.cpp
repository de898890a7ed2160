// The root directory as an operator's tool sees it: which names stand there
// and what each one is.
#include "rtkernel/hosted/root/inspection.h"

#include <algorithm>
#include <iterator>

#include "rtkernel/hosted/names.h"

namespace hosted {

ErrorCode ListNames(const RootDirectory& root, std::vector<std::string>& names) {
    std::vector<std::string> files;
    if (const ErrorCode listed = root.ListFiles(files); listed != ErrorCode::None) {
        return listed;
    }
    names.clear();
    std::copy_if(files.begin(), files.end(), std::back_inserter(names),
                 [](const std::string& file) { return ValidName(file.c_str()); });
    std::sort(names.begin(), names.end());
    return ErrorCode::None;
}

// Looking changes nothing, not even the mode of a file that cannot be read.
ErrorCode Describe(const RootDirectory& root, const char* name, EntryReport& report) {
    NameExamination found;
    if (const ErrorCode examined = root.Examine(name, found); examined != ErrorCode::None) {
        return examined;
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
