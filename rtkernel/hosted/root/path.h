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

}  // namespace hosted
