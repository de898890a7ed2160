// How a name is found: what stands at it, and whether a live owner holds it.
#include <cerrno>
#include <memory>
#include <string>

#include "rtkernel/hosted/names.h"
#include "rtkernel/hosted/root/directory.h"

namespace hosted {
namespace {

// A lookup that finds the name replaced while it looked tries again, a few times.
constexpr int kLookupAttempts = 4;

// One look that changes nothing, taken again while the name is replaced
// under it: 0, ENOENT, ESTALE when it kept being replaced, or the error.
int LookSettled(int directory, const char* name, NameExamination& found) {
    int error = ESTALE;
    for (int attempt = 0; attempt < kLookupAttempts && error == ESTALE; ++attempt) {
        found = NameExamination{};
        error = ExamineName(directory, name, ModeRepair::Never, found);
    }
    return error;
}

}  // namespace

ErrorCode RootDirectory::Examine(const char* name, NameExamination& found) const {
    if (!ValidName(name)) {
        return ErrorCode::BadName;
    }
    const int error = LookSettled(Fd(), name, found);
    if (error == ENOENT || error == ESTALE) {
        return ErrorCode::NameNotFound;
    }
    return error == 0 ? ErrorCode::None : HostFailure("cannot examine", error, name);
}

// A claimant that finds the name free has lost what stood in its way to
// another remover, who may have died before linking its own entry: it is
// handed the thing it found ownerless, now vanished, whose type reads 0. Its
// removal then counts as done and its catalog takes the free name, so a start
// fails only where a live holder exists, whoever else died on the way.
ErrorCode RootDirectory::LookupOnce(const char* name, std::shared_ptr<RootEntry>& found) const {
    NameExamination looked;
    const int error = LookSettled(Fd(), name, looked);
    if (error == ENOENT && notes_.HoldsClaim(name)) {
        looked.status.kind = EntryKind::Vanished;
    } else if (error == ENOENT || error == ESTALE) {
        return ErrorCode::NameNotFound;
    } else if (error != 0) {
        // Out of descriptors, say: the entry may well be live.
        return HostFailure("cannot examine", error, name);
    }
    if (looked.holder == Holder::None) {
        notes_.NoteOwnerless(name);
    } else if (looked.holder == Holder::Live) {
        notes_.ForgetClaim(name);  // a live holder has it: there is nothing to replace
    }
    found = std::make_shared<RootEntry>(Directory(), name, looked.status, std::move(looked.record));
    return ErrorCode::None;
}

ErrorCode RootDirectory::Lookup(const char* name, std::uint32_t waitMs, std::shared_ptr<RootEntry>& found) {
    if (!ValidName(name)) {
        return ErrorCode::BadName;
    }
    const ErrorCode result = LookupOnce(name, found);
    if (result != ErrorCode::NameNotFound || waitMs == 0) {
        return result;
    }
    return WaitForEntry(name, waitMs, found,
                        [](ErrorCode looked) { return looked != ErrorCode::NameNotFound; });
}

}  // namespace hosted
