// Handles to what root-directory lookups found: one handle per entry, swept
// out once the entry is gone, so repeated lookups cannot fill the table.
#pragma once

#include <memory>

#include "rtkernel/hosted/errors.h"
#include "rtkernel/hosted/handle_table.h"
#include "rtkernel/hosted/root/entry.h"

namespace hosted {

// The handle of the entry: the one it already has, or a new one.
ErrorCode HandleForRootEntry(HandleTable& handles, const std::shared_ptr<RootEntry>& entry, Handle& handle);
// The entry's file is gone from the directory; so are the handles that named it.
void ForgetRootEntry(HandleTable& handles, FileId removed);

}  // namespace hosted
