// Discovery of archive files by the day written in their paths.
#pragma once

#include "selection/read_monitor.h"
#include "selection/path_list.h"

namespace zentrail {

// A day, an underscore, any text and ".vlx", anywhere in a path (ECMAScript
// syntax); the explorer finds its leftmost match.
constexpr const char* ARCHIVE_NAME_PATTERN = "([0-9]{4}\\-[0-9]{2}\\-[0-9]{2})\\_(.*)\\.vlx";

// The state files of the Parquet lakes that zentrail sync keeps: of rows,
// then of aligned grids. A folder holding one is such a lake, whose parts
// carry the names of the archive files they came from in theirs; discovery
// passes over it (and all below it), so that a lake is never read as an
// archive.
constexpr const char* LAKE_STATE_NAMES[] = {"_zentrail_sync.json", "_zentrail_grid.json"};

// Whether `name` (one entry's name) is one of LAKE_STATE_NAMES.
bool is_lake_state_name(const char* name);

// Drops from a listing of file paths ("/" between names) those under a
// folder that holds a lake's state file, by the rule a walk keeps.
void pass_over_lakes(PathList* paths);

class Explorer {
public:
    // The two bound texts are borrowed and compared as written.
    Explorer(const char* dt_start, const char* dt_end);

    // Walks `root_dir` recursively (links to directories are tested, not
    // entered; a lake's folder is passed over; see DirectoryWalk) and
    // appends every path whose day overlaps the window. Throws std::filesystem::filesystem_error naming the
    // directory when the walk fails, and whatever `monitor` (may be null)
    // throws when it is polled.
    void explore(const char* root_dir, PathList* paths, ReadMonitor* monitor = nullptr) const;

    // True when `path` carries a day whose 00:00:00..23:59:59 overlaps the
    // window, comparing texts byte by byte.
    bool filter_date_match(const char* path) const;

    // Where the leftmost match of ARCHIVE_NAME_PATTERN in `path` begins (its
    // first ten bytes are the day), or null. A direct scan: the pattern is a
    // fixed-length day and underscore, then ".vlx" before any line break.
    static const char* find_day(const char* path);

private:
    const char* dt_start;
    const char* dt_end;
};

// Ascending byte order of whole paths (bytes unsigned, a prefix first): the
// order in which a read takes its files.
void sort_archive_paths(PathList* paths);

// The archive files under `root_dir` whose day overlaps dt_start..dt_end,
// in the order a read takes them: Explorer::explore, then
// sort_archive_paths. Throws as explore does.
PathList find_archive_files(const char* root_dir, const char* dt_start, const char* dt_end,
                            ReadMonitor* monitor = nullptr);

}  // namespace zentrail
