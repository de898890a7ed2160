// Whose root directory it is (identity.h).
#include "rtkernel/hosted/root/identity.h"

#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "rtkernel/hosted/host_output.h"
#include "rtkernel/hosted/root/path.h"

namespace hosted {
namespace {

constexpr const char* kRootDirectoryName = "rtroot";

bool IsDirectory(const char* path) {
    struct stat status {};
    return lstat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

std::string DefaultRootPath() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): nothing in the process writes its environment
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        return std::string(runtime) + "/" + kRootDirectoryName;
    }
    if (geteuid() == 0 && IsDirectory(kSystemServiceHome)) {
        return kSystemServiceRoot;
    }
    return "/tmp/" + std::string(kRootDirectoryName) + "-" + std::to_string(geteuid());
}

std::optional<struct stat> OwnerOfRootDirectory(const std::string& path) {
    const std::string directory = WithoutTrailingSelfReferences(path);
    struct stat status {};
    if (lstat(directory.c_str(), &status) == 0) {
        return S_ISDIR(status.st_mode) ? std::optional(status) : std::nullopt;
    }
    if (errno != ENOENT || lstat(ParentOf(directory).c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        return std::nullopt;
    }
    return status;
}

ErrorCode ActAsOwnerOf(const std::string& path, uid_t& taken) {
    taken = 0;
    if (geteuid() != 0) {
        return ErrorCode::None;
    }
    const std::optional<struct stat> owner = OwnerOfRootDirectory(path);
    if (!owner || owner->st_uid == 0) {
        return ErrorCode::None;
    }
    if (setgroups(0, nullptr) != 0 || setresgid(owner->st_gid, owner->st_gid, owner->st_gid) != 0 ||
        setresuid(owner->st_uid, owner->st_uid, owner->st_uid) != 0) {
        DiagnoseHostFailure(
            "root directory " + path,
            ("cannot take the identity of its owner, user " + std::to_string(owner->st_uid)).c_str(), errno);
        return ErrorCode::HostFailure;
    }
    taken = owner->st_uid;
    return ErrorCode::None;
}

}  // namespace hosted
