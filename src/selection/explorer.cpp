#include "selection/explorer.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_set>

#include "selection/directory_walk.h"
#include "time/text_shape.h"

namespace zentrail {

namespace {

bool is_line_break(char c) { return c == '\n' || c == '\r'; }

// Whether ".vlx" begins in [from, to) with no line break before it: what
// "(.*)\.vlx" needs after the underscore.
bool extension_follows(const char* from, const char* to) {
    for (const char* p = from; p + 4 <= to; ++p) {
        if (is_line_break(*p)) return false;
        if (std::memcmp(p, ".vlx", 4) == 0) return true;
    }
    return false;
}

}  // namespace

Explorer::Explorer(const char* dt_start, const char* dt_end) : dt_start(dt_start), dt_end(dt_end) {}

const char* Explorer::find_day(const char* path) {
    const std::size_t length = std::strlen(path);
    const char* end = path + length;
    // No extension anywhere: no start position can match.
    if (length < 15 || std::search(path, end, ".vlx", ".vlx" + 4) == end) return nullptr;
    for (const char* at = path; at + 15 <= end; ++at) {
        if (matches_shape(at, "dddd-dd-dd_") && extension_follows(at + 11, end)) return at;
    }
    return nullptr;
}

bool is_lake_state_name(const char* name) {
    for (const char* state_name : LAKE_STATE_NAMES) {
        if (std::strcmp(name, state_name) == 0) return true;
    }
    return false;
}

void pass_over_lakes(PathList* paths) {
    std::unordered_set<std::string_view> lakes;  // folders, each without its last "/"
    for (const std::string& path : *paths) {
        const std::size_t slash = path.rfind('/');
        if (slash != std::string::npos && is_lake_state_name(path.c_str() + slash + 1)) {
            lakes.insert(std::string_view(path).substr(0, slash));
        }
    }
    if (lakes.empty()) return;
    const auto in_a_lake = [&lakes](const std::string& path) {
        for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
            if (lakes.count(std::string_view(path).substr(0, slash)) != 0) return true;
        }
        return false;
    };
    // The views point into the paths: the kept ones are moved only once all are tested.
    std::vector<bool> dropped(paths->size());
    for (std::size_t i = 0; i < paths->size(); ++i) dropped[i] = in_a_lake((*paths)[i]);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < paths->size(); ++i) {
        if (dropped[i]) continue;
        if (kept != i) (*paths)[kept] = std::move((*paths)[i]);
        ++kept;
    }
    paths->resize(kept);
}

void Explorer::explore(const char* root_dir, PathList* paths, ReadMonitor* monitor) const {
    DirectoryWalk walk(root_dir, monitor, is_lake_state_name);
    while (walk.next()) {
        if (filter_date_match(walk.path().c_str())) paths->push_back(walk.path());
    }
}

bool Explorer::filter_date_match(const char* path) const {
    const char* day = find_day(path);
    if (day == nullptr) return false;
    // The day with a time of day appended; strcmp orders bytes as unsigned
    // char and puts a prefix first.
    char moment[20];
    std::memcpy(moment, day, 10);
    std::memcpy(moment + 10, " 23:59:59", 10);
    if (std::strcmp(moment, dt_start) < 0) return false;
    std::memcpy(moment + 10, " 00:00:00", 10);
    return std::strcmp(moment, dt_end) <= 0;
}

void sort_archive_paths(PathList* paths) {
    // std::string compares through char_traits<char>, which orders bytes as
    // unsigned char: exactly the byte order wanted here.
    std::sort(paths->begin(), paths->end());
}

PathList find_archive_files(const char* root_dir, const char* dt_start, const char* dt_end, ReadMonitor* monitor) {
    PathList paths;
    Explorer(dt_start, dt_end).explore(root_dir, &paths, monitor);
    sort_archive_paths(&paths);
    return paths;
}

}  // namespace zentrail
