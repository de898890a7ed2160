// How a name is found: what stands at it, and whether a live owner holds it.
#include <fcntl.h>

#include <cerrno>
#include <memory>
#include <string>

#include "rtkernel/hosted/names.h"
#include "rtkernel/hosted/root/directory.h"

namespace hosted {
namespace {

// A lookup that finds the name replaced while it looked tries again, a few times.
constexpr int kLookupAttempts = 4;

}  // namespace

// The kind of file is learnt without opening it; only an entry file of this
// user's is opened, to read its record.
ErrorCode RootDirectory::LookupOnce(const char* name, std::shared_ptr<RootEntry>& found) const {
    for (int attempt = 0; attempt < kLookupAttempts; ++attempt) {
        EntryStatus status;
        if (const int error = StatEntry(Fd(), name, status); error != 0) {
            return error == ENOENT ? ErrorCode::NameNotFound : HostFailure("cannot examine", error, name);
        }
        std::string record;
        bool ownerless = true;  // what is no entry file has no owner
        if (status.kind == EntryKind::EntryFile) {
            UniqueFd file;
            const int error = OpenEntryFile(Fd(), name, status.id, O_RDONLY, file);
            if (error == ENOENT || error == ESTALE) {
                continue;  // replaced or removed while looked at: look again
            }
            if (error != 0) {
                // Out of descriptors, say: the entry may well be live.
                return HostFailure("cannot open", error, name);
            }
            record = ReadRecord(file.Get());
            ownerless = !OwnerHoldsEntryLock(file.Get());
        }
        if (ownerless) {
            RememberOwnerless(name);
        } else {
            ForgetClaim(name);  // a live holder has it: there is nothing to replace
        }
        found = std::make_shared<RootEntry>(directory_, name, status, std::move(record));
        return ErrorCode::None;
    }
    return ErrorCode::NameNotFound;
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
