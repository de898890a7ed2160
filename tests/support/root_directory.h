// A root directory made as the kernel makes one: private, and marked, so that
// what a test then puts at a name is read as standing in a root directory.
#pragma once

#include <sys/stat.h>

#include <fstream>
#include <string>

namespace testsupport {

inline bool MakeRootDirectory(const std::string& path, mode_t mode = 0700) {
    if (mkdir(path.c_str(), mode) != 0 || chmod(path.c_str(), mode) != 0) {
        return false;
    }
    std::ofstream mark(path + "/.root-directory");
    mark << "rtroot directory 1\n";
    return static_cast<bool>(mark.flush());
}

}  // namespace testsupport
