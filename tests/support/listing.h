// Everything below a directory as a user would compare it: each path's type,
// mode, owner, size, modification time, link target and, where it can be
// read, content. Two equal listings mean nothing was changed there.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <system_error>

namespace testsupport {

inline std::map<std::string, std::string> Listing(const std::string& directory) {
    std::map<std::string, std::string> listing;
    std::error_code error;
    const auto describe = [&](const std::filesystem::path& path) {
        struct stat status {};
        if (lstat(path.c_str(), &status) != 0) {
            return;
        }
        std::string line = std::to_string(status.st_mode) + " " + std::to_string(status.st_uid) + ":" +
                           std::to_string(status.st_gid) + " " + std::to_string(status.st_size) + " " +
                           std::to_string(status.st_mtim.tv_sec) + "." +
                           std::to_string(status.st_mtim.tv_nsec);
        if (S_ISLNK(status.st_mode)) {
            line += " -> " + std::filesystem::read_symlink(path, error).string();
        } else if (S_ISREG(status.st_mode)) {
            std::ifstream in(path, std::ios::binary);
            line += " " + std::string(std::istreambuf_iterator<char>(in), {});
        }
        listing[path.string()] = line;
    };
    describe(directory);
    for (auto it = std::filesystem::recursive_directory_iterator(directory, error);
         it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        describe(it->path());
    }
    return listing;
}

}  // namespace testsupport
