// Random trees in a temporary folder: the project's walk must yield exactly
// the paths of the standard library's recursive walk, in its order, and fail
// where it fails.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "selection/directory_walk.h"

namespace {

namespace fs = std::filesystem;

// Characters of names: a few plain ones, a dot (for ".x" and "..x"), a
// space and a byte that is not UTF-8.
constexpr char NAME_CHARS[] = {'a', 'b', '.', ' ', '\xff', '-', '_', 'Z'};

// On tmpfs where there is one: making and removing a tree on a disk file
// system costs far more than the walks themselves.
const fs::path& scratch() {
    static const fs::path root =
        fs::path(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : fs::temp_directory_path().native()) /
        ("zentrail-fuzz-walk-" + std::to_string(::getpid()));
    return root;
}

// Builds a tree from the bytes: per three bytes, what to make (folder, file,
// link to a folder, dangling link), in which folder made so far, and a name.
void build(const uint8_t* data, size_t size, const fs::path& root) {
    std::vector<fs::path> folders{root};
    for (size_t i = 0; i + 3 <= size && folders.size() < 64; i += 3) {
        const fs::path& parent = folders[data[i + 1] % folders.size()];
        std::string name;
        for (unsigned bits = data[i + 2] | 0x100u; bits > 1; bits >>= 3) name += NAME_CHARS[bits & 7];
        if (name == "." || name == "..") name += 'a';
        const fs::path path = parent / name;
        std::error_code ignored;  // a name already taken keeps what it is
        switch (data[i] % 4) {
            case 0:
                if (fs::create_directory(path, ignored)) folders.push_back(path);
                break;
            case 1: std::ofstream(path).put('x'); break;
            case 2: fs::create_directory_symlink(folders[data[i] / 4 % folders.size()], path, ignored); break;
            default: fs::create_symlink("nowhere", path, ignored); break;
        }
    }
}

std::vector<std::string> standard_walk(const std::string& root, bool* failed) {
    std::vector<std::string> paths;
    try {
        for (const auto& entry : fs::recursive_directory_iterator(root)) paths.push_back(entry.path().native());
    } catch (const fs::filesystem_error&) {
        *failed = true;
    }
    return paths;
}

std::vector<std::string> own_walk(const std::string& root, bool* failed) {
    std::vector<std::string> paths;
    try {
        zentrail::DirectoryWalk walk(root.c_str());
        while (walk.next()) paths.push_back(walk.path());
    } catch (const fs::filesystem_error&) {
        *failed = true;
    }
    return paths;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fs::path& root = scratch();
    fs::remove_all(root);
    fs::create_directory(root);
    build(data, size, root);
    // The root as given, or with a trailing "/".
    std::string given = root.native();
    if (size > 0 && (data[0] & 0x40) != 0) given += '/';
    bool standard_failed = false;
    bool own_failed = false;
    const auto expected = standard_walk(given, &standard_failed);
    const auto actual = own_walk(given, &own_failed);
    if (actual != expected || own_failed != standard_failed) {
        std::fprintf(stderr, "walks differ: %zu paths against %zu, failed %d against %d\n", actual.size(),
                     expected.size(), own_failed, standard_failed);
        __builtin_trap();
    }
    fs::remove_all(root);
    return 0;
}
