#include "selection/explorer.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace zentrail {

Explorer::Explorer(const char* dt_start, const char* dt_end)
    : dt_start(dt_start), dt_end(dt_end), pattern(ARCHIVE_NAME_PATTERN, std::regex::ECMAScript) {}

void Explorer::explore(const char* root_dir, PathList* paths) const {
    namespace fs = std::filesystem;
    for (fs::recursive_directory_iterator it(root_dir), last; it != last; ++it) {
        const std::string& path = it->path().native();
        if (filter_date_match(path.c_str())) paths->push_back(path);
    }
}

bool Explorer::filter_date_match(const char* path) const {
    std::cmatch match;
    if (!std::regex_search(path, match, pattern)) return false;
    // The day with a time of day appended; strcmp orders bytes as unsigned
    // char and puts a prefix first.
    char moment[20];
    std::memcpy(moment, match[1].first, 10);
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

}  // namespace zentrail
