// A fresh directory under the system's temporary directory for one test,
// removed with its contents.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace zentrail::testing {

class TempDir {
public:
    TempDir() {
        for (int n = 0;; ++n) {
            const std::string name = "zentrail-test-" + std::to_string(::getpid()) + "-" + std::to_string(n);
            root = std::filesystem::temp_directory_path() / name;
            if (std::filesystem::create_directory(root)) return;
        }
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string path(const std::string& name) const { return (root / name).string(); }
    // Writes `bytes` to the file `name` (a relative path, directories made).
    std::string write(const std::string& name, const std::vector<uint8_t>& bytes) const {
        std::filesystem::create_directories((root / name).parent_path());
        std::ofstream(path(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path(name);
    }
    void touch(const std::string& name) const { write(name, {0}); }

    std::filesystem::path root;
};

}  // namespace zentrail::testing
