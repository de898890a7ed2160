// Handles to root-directory entries: one per entry, swept once it is gone.
#include "rtkernel/hosted/root/handles.h"

namespace hosted {
namespace {

// Above this many, handles of entries that have since been removed are swept
// out before another is added.
constexpr std::size_t kRootHandlesBeforeSweep = 16;

bool IsRootEntry(const KernelObject& object) {
    return object.kind == ObjectKind::RootEntry;
}

}  // namespace

ErrorCode HandleForRootEntry(HandleTable& handles, const std::shared_ptr<RootEntry>& entry, Handle& handle) {
    std::size_t rootHandles = 0;
    handle = handles.FindIf([&](const KernelObject& object) {
        rootHandles += IsRootEntry(object) ? 1 : 0;
        return IsRootEntry(object) && object.rootEntry->SameEntry(*entry);
    });
    if (handle != kBadHandle) {
        return ErrorCode::None;
    }
    if (rootHandles >= kRootHandlesBeforeSweep) {
        handles.RemoveIf([](const KernelObject& object) {
            return IsRootEntry(object) && !object.rootEntry->StillNamed();
        });
    }
    handle = handles.Add({ObjectKind::RootEntry, entry});
    return handle == kBadHandle ? ErrorCode::HandleTableFull : ErrorCode::None;
}

void ForgetRootEntry(HandleTable& handles, FileId removed) {
    handles.RemoveIf([removed](const KernelObject& object) {
        return IsRootEntry(object) && object.rootEntry->Id() == removed;
    });
}

}  // namespace hosted
