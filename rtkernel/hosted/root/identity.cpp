// Whose root directory it is (identity.h).
#include "rtkernel/hosted/root/identity.h"

#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

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
    // Followed, should it be a link: the directory is made where it leads.
    if (errno != ENOENT || stat(ParentOf(directory).c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        return std::nullopt;
    }
    return status;
}

namespace {

// In a user namespace of its own (an unprivileged container, unshare -r), a
// directory whose owner is not mapped there reads as the overflow user: no
// one in the namespace can change it, so it is trusted as root's would be.
bool Unmapped(uid_t user) {
    static const std::optional<uid_t> overflow = []() -> std::optional<uid_t> {
        std::ifstream map("/proc/self/uid_map");
        std::string first;
        std::getline(map, first);
        std::istringstream fields(first);
        unsigned long inside = 0;
        unsigned long outside = 0;
        unsigned long count = 0;
        if (!(fields >> inside >> outside >> count) ||
            (inside == 0 && outside == 0 && count == 4294967295UL)) {
            return std::nullopt;  // the initial namespace: every owner is who it says
        }
        unsigned long overflowUser = 65534;
        std::ifstream("/proc/sys/kernel/overflowuid") >> overflowUser;
        return static_cast<uid_t>(overflowUser);
    }();
    return overflow && user == *overflow;
}

// Why a directory on the way is one that someone other than root or `owner`
// could change, or one the owner could not pass, or empty: it belongs to
// another user, it is writable by group or others without being root's and
// sticky (as /tmp is), or the owner may not search it. A symlink is judged
// by its owner alone: its mode means nothing.
std::string Unsafe(const struct stat& status, const struct stat& owner) {
    const bool roots = status.st_uid == 0 || Unmapped(status.st_uid);
    if (!roots && status.st_uid != owner.st_uid) {
        return "belongs to user " + std::to_string(status.st_uid);
    }
    if (S_ISLNK(status.st_mode)) {
        return {};
    }
    const bool shared = (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (shared && !(roots && (status.st_mode & S_ISVTX) != 0)) {
        return "is writable by group or others";
    }
    const mode_t search = status.st_uid == owner.st_uid   ? S_IXUSR
                          : status.st_gid == owner.st_gid ? S_IXGRP
                                                          : S_IXOTH;
    if (owner.st_uid != 0 && (status.st_mode & search) == 0) {
        return "cannot be searched by user " + std::to_string(owner.st_uid);
    }
    return {};
}

// Every directory from / down to `directory`, as written (each link on the
// way judged as itself) and as it resolves: the first that root may not
// trust for `owner`, with why; nothing when all may be trusted; an empty
// reason where one vanished while it was looked at.
std::optional<std::string> FirstUnsafe(const std::string& directory, const struct stat& owner) {
    std::vector<std::string> ways = {directory};
    // NOLINTNEXTLINE(cppcoreguidelines-owning-memory): realpath's own allocation, freed at once
    if (char* resolved = realpath(directory.c_str(), nullptr); resolved != nullptr) {
        ways.emplace_back(resolved);
        std::free(resolved);  // NOLINT(cppcoreguidelines-no-malloc)
    }
    for (const std::string& way : ways) {
        for (std::size_t end = 0; end != std::string::npos;) {
            end = way.find('/', end + 1);
            const std::string step =
                end == std::string::npos ? way : way.substr(0, std::max<std::size_t>(end, 1));
            struct stat status {};
            if (lstat(step.c_str(), &status) != 0) {
                // Gone this instant (a wait while the directory is made
                // again): nothing to act in, as when nothing was there.
                return errno == ENOENT ? std::optional<std::string>(std::string())
                                       : step + " cannot be examined";
            }
            if (const std::string why = Unsafe(status, owner); !why.empty()) {
                std::string unsafe = step;
                unsafe += ' ';
                unsafe += why;
                return unsafe;
            }
        }
    }
    return std::nullopt;
}

// The path from /, so that every directory on the way can be judged.
std::string Absolute(const std::string& path) {
    if (path.starts_with('/')) {
        return path;
    }
    // NOLINTNEXTLINE(cppcoreguidelines-owning-memory): getcwd's own allocation, freed at once
    char* here = getcwd(nullptr, 0);
    std::string absolute = here != nullptr ? std::string(here) + "/" + path : path;
    std::free(here);  // NOLINT(cppcoreguidelines-no-malloc)
    return absolute;
}

}  // namespace

ErrorCode ActAsOwnerOf(const std::string& path, uid_t& taken) {
    taken = 0;
    if (geteuid() != 0) {
        return ErrorCode::None;
    }
    const std::string directory = Absolute(WithoutTrailingSelfReferences(path));
    const std::optional<struct stat> owner = OwnerOfRootDirectory(directory);
    if (!owner) {
        return ErrorCode::None;  // nothing there to act in: refused or waited for as for anyone
    }
    // The way to it: the directory itself is judged by the kernel as any
    // root directory is, once this process is its owner.
    const uid_t user = owner->st_uid;
    const std::optional<std::string> unsafe = FirstUnsafe(ParentOf(directory), *owner);
    if (unsafe && unsafe->empty()) {
        return ErrorCode::None;  // the way vanished while it was looked at: looked at again later
    }
    if (unsafe) {
        DiagnoseHostFailure("root directory " + path,
                            ("refused: " + *unsafe + ", so root will not act in it as " +
                             (user == 0 ? std::string("root") : "user " + std::to_string(user)))
                                .c_str(),
                            0);
        return unsafe->find("writable") != std::string::npos ? ErrorCode::RootWritableByOthers
                                                             : ErrorCode::RootNotOwned;
    }
    if (user == 0) {
        return ErrorCode::None;
    }
    if (setgroups(0, nullptr) != 0 || setresgid(owner->st_gid, owner->st_gid, owner->st_gid) != 0 ||
        setresuid(user, user, user) != 0) {
        DiagnoseHostFailure("root directory " + path,
                            ("cannot take the identity of its owner, user " + std::to_string(user)).c_str(),
                            errno);
        return ErrorCode::HostFailure;
    }
    taken = user;
    return ErrorCode::None;
}

}  // namespace hosted
