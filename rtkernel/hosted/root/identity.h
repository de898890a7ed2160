// Whose root directory it is: which one a process uses when it is given none,
// and as whom root acts in a directory of another user.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>

#include "rtkernel/hosted/errors.h"

namespace hosted {

// The system service's runtime directory, which its package makes and its unit
// names as XDG_RUNTIME_DIR, and the root directory the kernel keeps there.
inline constexpr const char* kSystemServiceHome = "/run/zorvandelith";
inline constexpr const char* kSystemServiceRoot = "/run/zorvandelith/rtroot";

// $XDG_RUNTIME_DIR/rtroot when that is an absolute path. Otherwise, for root,
// the system service's root directory where its runtime directory exists, so
// that root's own instances and rtroot meet the system service's names; for
// anyone else, and for root on a machine without the package, a per-user
// directory under /tmp. The service and rtroot both ask this, so they agree.
std::string DefaultRootPath();

// The owner the root directory at path has or, while it is missing, the owner
// of the directory it would be made in; nothing when neither is a directory
// (the kernel refuses such a path as it is).
std::optional<struct stat> OwnerOfRootDirectory(const std::string& path);

// Root acts in another user's root directory as that user: it takes the
// owner's identity (user, group, no supplementary groups) for good, before the
// kernel first asks who the process is, so that what it writes there belongs
// to the owner and nothing in the directory can make root do what the owner
// could not. The owner is the directory's, or while it
// is missing that of the directory it would be made in. Only where every
// directory on the way, as written and as it resolves, belongs to root or to
// that owner and is writable by nobody else (unless it is root's and sticky,
// as /tmp): otherwise RootNotOwned or RootWritableByOthers, said on stderr with
// the directory that failed. The same holds for root's own directories, so
// that root never makes anything as root where another user chose the place.
// `taken` is the owner's user id when the identity was taken, 0 when it was
// not. HostFailure, said on stderr, when it cannot be taken.
ErrorCode ActAsOwnerOf(const std::string& path, uid_t& taken);

}  // namespace hosted
