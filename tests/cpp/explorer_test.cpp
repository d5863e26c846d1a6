// Discovery of archive files by the day in their paths, and the order in
// which a read takes them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "selection/explorer.h"
#include "temp_dir.h"

namespace zentrail {
namespace {

namespace fs = std::filesystem;
using zentrail::testing::TempDir;

constexpr const char* START = "2024-03-01 00:00:00";
constexpr const char* END = "2024-03-03 23:59:59";

struct DayCase {
    const char* path;
    const char* start;
    const char* end;
    bool collected;
};

void PrintTo(const DayCase& c, std::ostream* os) {
    *os << ::testing::PrintToString(std::string(c.path) + " in " + c.start + " .. " + c.end);
}

const DayCase DAY_CASES[] = {
    {"/data/2024-03-01_plant.vlx", START, END, true},
    {"/data/2024-03-03_plant.vlx", START, END, true},
    {"/data/sub/dir/2024-03-02_x.vlx", START, END, true},
    {"/data/2024-02-29_plant.vlx", START, END, false},
    {"/data/2024-03-04_plant.vlx", START, END, false},
    // A day, an underscore, any text and ".vlx", with anything after.
    {"/data/2024-03-02_plant.vlx.bak", START, END, true},
    {"/data/2024-03-02_.vlx", START, END, true},
    {"/data/2024-03-02_plant.VLX", START, END, false},
    {"/data/2024-03-02.vlx", START, END, false},
    {"/data/2024-3-02_plant.vlx", START, END, false},
    {"/data/2024-03-02_a\nb.vlx", START, END, false},
    // The leftmost day that an underscore and, later, ".vlx" follow counts,
    // in a directory name too.
    {"/data/2023-12-31_a/2024-03-02_b.vlx", START, END, false},
    {"/data/2024-03-02_archive/2023-12-31_b.vlx", START, END, true},
    {"/data/2024-03-02_archive/notes.txt", START, END, false},
    // The bounds are texts, compared byte by byte (unsigned), ends included.
    {"/data/2024-03-01_x.vlx", "2024-03-01 23:59:59", END, true},
    {"/data/2024-03-03_x.vlx", START, "2024-03-03 00:00:00", true},
    {"/data/2024-03-01_x.vlx", "2024-03-01T00:00:00", END, false},  // " 23:59:59" < "T00:00:00"
    {"/data/2024-03-02_x.vlx", "2024-03-01T00:00:00", END, true},
    {"/data/2024-03-03_x.vlx", "2024-03-01T00:00:00", END, true},
    {"/data/2024-03-01_x.vlx", "2024-03-01", END, true},  // a prefix sorts first
    {"/data/2024-02-29_x.vlx", "2024-03-01", END, false},
    {"/data/2024-03-02_x.vlx", "2024-03-02\xC3\xA9", END, false},
    {"/data/2024-03-02_x.vlx", START, "2024-03-02\xC3\xA9", true},
    // A start after the end admits no day.
    {"/data/2024-03-01_x.vlx", "2024-03-03 00:00:00", "2024-03-01 23:59:59", false},
    {"/data/2024-03-02_x.vlx", "2024-03-03 00:00:00", "2024-03-01 23:59:59", false},
    {"/data/2024-03-03_x.vlx", "2024-03-03 00:00:00", "2024-03-01 23:59:59", false},
};

class DayMatchTest : public ::testing::TestWithParam<DayCase> {};

TEST_P(DayMatchTest, CollectsPathsWhoseDayOverlapsTheWindow) {
    const DayCase& c = GetParam();
    EXPECT_EQ(Explorer(c.start, c.end).filter_date_match(c.path), c.collected);
}

INSTANTIATE_TEST_SUITE_P(Explorer, DayMatchTest, ::testing::ValuesIn(DAY_CASES));

// What explore appends for the tree at `root_dir`: sorted, relative to it.
PathList explore(const fs::path& root_dir) {
    PathList paths = {"kept"};
    Explorer(START, END).explore(root_dir.c_str(), &paths);
    EXPECT_EQ(paths.front(), "kept");  // appended to, not cleared
    PathList found;
    for (std::size_t i = 1; i < paths.size(); ++i) found.push_back(paths[i].substr(root_dir.native().size() + 1));
    std::sort(found.begin(), found.end());
    return found;
}

TEST(ExplorerTest, TestsEveryEntryOfTheTree) {
    TempDir tmp;
    for (const char* name : {"2024-03-01_plant.vlx", "2024-03-04_plant.vlx", "sub/dir/2024-03-02_x.vlx",
                             "2023-12-31_a/2024-03-02_b.vlx", "2024-03-02_x.vlx/inner.txt",
                             "2024-03-02_x.vlx/deeper/2023-01-01_y.vlx"}) {
        tmp.touch("data/" + std::string(name));
    }
    // Tested as an entry, not entered: nothing of sub/ is seen through it.
    fs::create_directory_symlink(tmp.root / "data/sub", tmp.root / "data/2024-03-02_link.vlx");
    EXPECT_EQ(explore(tmp.root / "data"),
              (PathList{"2024-03-01_plant.vlx", "2024-03-02_link.vlx", "2024-03-02_x.vlx", "2024-03-02_x.vlx/deeper",
                        "2024-03-02_x.vlx/deeper/2023-01-01_y.vlx", "2024-03-02_x.vlx/inner.txt",
                        "sub/dir/2024-03-02_x.vlx"}));
}

TEST(ExplorerTest, DayInTheRootDirectoryNameCounts) {
    TempDir tmp;
    for (const char* name : {"2024-03-02_archive/a.vlx", "2024-03-02_archive/2023-12-31_b.vlx",
                             "2024-03-02_archive/notes.txt", "2023-12-31_old/2024-03-02_c.vlx"}) {
        tmp.touch(name);
    }
    EXPECT_EQ(explore(tmp.root / "2024-03-02_archive"), (PathList{"2023-12-31_b.vlx", "a.vlx"}));
    EXPECT_EQ(explore(tmp.root / "2023-12-31_old"), PathList{});
}

TEST(ExplorerTest, EmptyOrMissingRootAddsNothing) {
    TempDir tmp;
    fs::create_directory(tmp.root / "empty");
    EXPECT_EQ(explore(tmp.root / "empty"), PathList{});

    PathList paths = {"kept"};
    const fs::path missing = tmp.root / "2024-03-02_missing.vlx";
    EXPECT_THROW(Explorer(START, END).explore(missing.c_str(), &paths), fs::filesystem_error);
    EXPECT_EQ(paths, PathList{"kept"});
}

// A lake kept by zentrail sync holds parts named after the archive files
// they came from: a folder holding a lake's state file is passed over, the
// root too, whatever else it holds; a folder that only lies beside one is not.
TEST(ExplorerTest, AFolderHoldingALakesStateIsPassedOver) {
    for (const char* state_name : LAKE_STATE_NAMES) {
        TempDir tmp;
        const std::vector<std::string> names = {"2024-03-01_plant.vlx",
                                                "lake/day=2024-03-01/part-2024-03-01_plant.vlx~0.parquet",
                                                "lake/deeper/2024-03-02_x.vlx",
                                                "lake/" + std::string(state_name),
                                                "beside/2024-03-02_y.vlx",
                                                "beside/lake_zentrail_sync.json"};
        for (const std::string& name : names) {
            tmp.touch("data/" + name);
        }
        EXPECT_EQ(explore(tmp.root / "data"), (PathList{"2024-03-01_plant.vlx", "beside/2024-03-02_y.vlx"}));
        EXPECT_EQ(explore(tmp.root / "data/lake"), PathList{});
    }
}

// A listing from elsewhere (a zip file, a bucket) by the same rule.
TEST(PassOverLakesTest, DropsWhatLiesUnderAFolderHoldingALakesState) {
    PathList paths = {"s3://b/2024-03-01_a.vlx",
                      "s3://b/lake/_zentrail_sync.json",
                      "s3://b/lake/day=2024-03-01/part-2024-03-01_a.vlx~0.parquet",
                      "s3://b/lake/x/2024-03-01_b.vlx",
                      "s3://b/lake2/2024-03-01_c.vlx",
                      "s3://b/grids/_zentrail_grid.json",
                      "s3://b/grids/2024-03-01_d.vlx",
                      "s3://b/other/_zentrail_sync.json.bak",
                      "s3://b/other/2024-03-01_e.vlx"};
    pass_over_lakes(&paths);
    EXPECT_EQ(paths, (PathList{"s3://b/2024-03-01_a.vlx", "s3://b/lake2/2024-03-01_c.vlx",
                               "s3://b/other/_zentrail_sync.json.bak", "s3://b/other/2024-03-01_e.vlx"}));
    PathList root_is_a_lake = {"p.zip/_zentrail_grid.json", "p.zip/2024-03-01_a.vlx"};
    pass_over_lakes(&root_is_a_lake);
    EXPECT_EQ(root_is_a_lake, PathList{});
}

TEST(SortArchivePathsTest, AscendingByteOrderOfWholePaths) {
    PathList paths = {"b/2021-01-01", "a/x\xC3\xA9", "a/xy", "a/x", "a/2021-01-02", "A/x"};
    sort_archive_paths(&paths);
    EXPECT_EQ(paths, (PathList{"A/x", "a/2021-01-02", "a/x", "a/xy", "a/x\xC3\xA9", "b/2021-01-01"}));
}

// Discovery, then the byte order of whole paths.
TEST(FindArchiveFilesTest, FindsTheDaysOfTheWindowInReadOrder) {
    TempDir tmp;
    for (const char* name : {"b/2024-03-01_x.vlx", "a/2024-03-03_y.vlx", "a/2024-03-02_x.vlx", "2024-03-02_z.vlx",
                             "a/2024-03-04_x.vlx", "a/2024-03-02_x.txt"}) {
        tmp.touch(name);
    }
    PathList expected;
    for (const char* name : {"2024-03-02_z.vlx", "a/2024-03-02_x.vlx", "a/2024-03-03_y.vlx", "b/2024-03-01_x.vlx"}) {
        expected.push_back(tmp.path(name));
    }
    EXPECT_EQ(find_archive_files(tmp.root.c_str(), START, END), expected);
}

}  // namespace
}  // namespace zentrail
