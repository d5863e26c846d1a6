// The project's own directory walk against the standard library's, and the
// cases the standard walk gets wrong: vanished folders, moved folders, depth.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <fcntl.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "selection/directory_walk.h"
#include "temp_dir.h"

namespace zentrail {
namespace {

namespace fs = std::filesystem;
using zentrail::testing::TempDir;
using Paths = std::vector<std::string>;

// Every path the walk yields, in its order; `step` runs after each.
Paths walk(const std::string& root, const std::function<void(const std::string&)>& step = {},
           ReadMonitor* monitor = nullptr) {
    Paths paths;
    DirectoryWalk walk(root.c_str(), monitor);
    while (walk.next()) {
        paths.push_back(walk.path());
        if (step) step(walk.path());
    }
    return paths;
}

Paths standard_walk(const std::string& root) {
    Paths paths;
    for (const auto& entry : fs::recursive_directory_iterator(root)) paths.push_back(entry.path().native());
    return paths;
}

int open_descriptors() {
    int count = 0;
    for (auto it = fs::directory_iterator("/proc/self/fd"); it != fs::directory_iterator(); ++it) ++count;
    return count;
}

TEST(DirectoryWalkTest, YieldsWhatTheStandardWalkYieldsInItsOrder) {
    TempDir tmp;
    for (const char* name : {"a/x", "a/b/c/y", "a/b/z", "e/f", "g", "\xff-not-utf-8/h"}) tmp.touch(name);
    fs::create_directories(tmp.root / "empty/inner");
    fs::create_directory_symlink(tmp.root / "a", tmp.root / "link-to-a");  // tested, not entered
    fs::create_symlink(tmp.root / "nowhere", tmp.root / "dangling");
    for (const std::string& root : {tmp.path(""), tmp.root.native(), tmp.path("a"), tmp.path("a/b/")}) {
        EXPECT_EQ(walk(root), standard_walk(root)) << root;
    }
    EXPECT_EQ(walk(tmp.path("a/b/")).size(), 3u);  // c, c/y and z, without a second "/"
}

TEST(DirectoryWalkTest, RootsThatCannotBeListedFailNamingThem) {
    TempDir tmp;
    tmp.touch("file");
    fs::create_symlink("loop", tmp.root / "loop");
    for (auto [name, error] : {std::pair{"missing", ENOENT}, {"file", ENOTDIR}, {"loop", ELOOP}}) {
        try {
            walk(tmp.path(name));
            ADD_FAILURE() << name;
        } catch (const fs::filesystem_error& e) {
            EXPECT_EQ(e.code().value(), error);
            EXPECT_EQ(e.path1(), tmp.path(name));
        }
    }
}

TEST(DirectoryWalkTest, AFolderThatVanishesBeforeItIsEnteredIsSkipped) {
    using Change = std::function<void(const fs::path&)>;
    const Change changes[] = {
        [](const fs::path& p) { fs::remove_all(p); },
        [](const fs::path& p) { fs::remove_all(p), std::ofstream(p).put('x'); },
        [](const fs::path& p) { fs::remove_all(p), fs::create_directory_symlink("/", p); },
    };
    for (const Change& change : changes) {
        TempDir tmp;
        for (const char* name : {"a/1", "b/2", "c/3"}) tmp.touch(name);
        Paths expected = standard_walk(tmp.root);
        const std::string doomed = tmp.path("b");
        // Between yielding "b" and entering it.
        Paths paths = walk(tmp.root, [&](const std::string& path) {
            if (path == doomed) change(doomed);
        });
        expected.erase(std::remove(expected.begin(), expected.end(), tmp.path("b/2")), expected.end());
        EXPECT_EQ(paths, expected);
    }
}

TEST(DirectoryWalkTest, AFolderMovedAwayMidWalkLeavesItsParentWalkedOn) {
    TempDir tmp;
    for (const char* name : {"p/a/1", "p/b/2", "p/c/3"}) tmp.touch(name);
    const Paths expected = standard_walk(tmp.path("p"));
    // Inside the first subfolder, move it out of p: ".." no longer leads back.
    std::string first;
    Paths paths = walk(tmp.path("p"), [&](const std::string& path) {
        if (first.empty() && fs::is_regular_file(path)) {
            first = fs::path(path).parent_path();
            fs::rename(first, tmp.path("moved"));
        }
    });
    EXPECT_EQ(paths, expected);
}

TEST(DirectoryWalkTest, DeeperThanTheOpenFileLimitAndPathMax) {
    TempDir tmp;
    constexpr int DEPTH = 2500;  // 5,000 bytes of path below the root
    int fd = ::open(tmp.root.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < DEPTH; ++i) {
        ASSERT_EQ(::mkdirat(fd, "d", 0755), 0);
        int inner = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = inner;
    }
    ::close(fd);
    rlimit saved;
    ::getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low = saved;
    low.rlim_cur = 32;
    ::setrlimit(RLIMIT_NOFILE, &low);
    const int before = open_descriptors();
    int most = 0;
    Paths paths = walk(tmp.root, [&](const std::string&) { most = std::max(most, open_descriptors()); });
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(paths.size(), static_cast<std::size_t>(DEPTH));
    EXPECT_EQ(paths.back().size(), tmp.root.native().size() + 2 * DEPTH);
    EXPECT_LE(most, before + 2);  // the current folder (plus the count's own)
    // remove_all would need a descriptor per level: undo the chain by renames.
    for (int i = 1; i < DEPTH; ++i) {
        fs::rename(tmp.root / "d" / "d", tmp.root / "t");
        fs::remove(tmp.root / "d");
        fs::rename(tmp.root / "t", tmp.root / "d");
    }
}

struct Stop {};

class StoppingMonitor : public ReadMonitor {
public:
    void poll(int64_t) override {
        if (++polls == 3) throw Stop{};
    }
    int polls = 0;
};

TEST(DirectoryWalkTest, AMonitorCanStopTheWalkAndNothingStaysOpen) {
    TempDir tmp;
    for (int i = 0; i < 2000; ++i) tmp.touch("a/" + std::to_string(i));
    const int before = open_descriptors();
    StoppingMonitor monitor;
    EXPECT_THROW(walk(tmp.root, {}, &monitor), Stop);
    EXPECT_EQ(monitor.polls, 3);
    EXPECT_EQ(open_descriptors(), before);
}

}  // namespace
}  // namespace zentrail
