// A private directory for one test, removed with everything in it afterwards.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace testsupport {

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "zorvandelith-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() { Remove(); }

    // Made searchable and writable again first, so that a test that took
    // permissions away leaves nothing behind.
    void Remove() const {
        MakeRemovable(path_);
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    static void MakeRemovable(const std::filesystem::path& directory) {
        std::error_code ignored;
        std::filesystem::permissions(directory, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        for (const auto& entry : std::filesystem::directory_iterator(directory, ignored)) {
            if (entry.is_directory(ignored) && !entry.is_symlink(ignored)) {
                MakeRemovable(entry.path());
            }
        }
    }

    std::string path_;
};

}  // namespace testsupport
