// How the root directory's path is read.
#pragma once

#include <string>

namespace hosted {

// "DIR/", "DIR/." and "DIR//./" name the same directory as "DIR", but a path
// that ends in a slash or "." makes the kernel resolve its last real component
// through a symlink, which no O_NOFOLLOW or lstat can then see. Stripped of
// them, the last component is the directory itself, and a symlink there is
// refused like any other. "/" and "." are left as they are.
inline std::string WithoutTrailingSelfReferences(std::string path) {
    for (;;) {
        if (path.size() > 1 && path.back() == '/') {
            path.pop_back();
        } else if (path.size() > 2 && path.ends_with("/.")) {
            path.resize(path.size() - 2);
        } else {
            return path;
        }
    }
}

// The directory a path without trailing slashes lies in. By hand rather than
// with std::filesystem, which would link a path library, locales and streams
// into the service for this one call, or dirname, which is not thread-safe.
inline std::string ParentOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace hosted
