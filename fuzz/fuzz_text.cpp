// Bound texts and paths: DateTime and the archive-name day test must agree
// with the regular expressions that define them, on any bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

#include "selection/explorer.h"
#include "time/datetime.h"

namespace {

// Splits the input at NUL bytes into up to three texts.
void split(const uint8_t* data, size_t size, std::string* parts, int count) {
    int k = 0;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            if (++k == count) return;
        } else {
            parts[k].push_back(static_cast<char>(data[i]));
        }
    }
}

void check_bound(const std::string& text) {
    static const std::regex pattern(zentrail::DATETIME_PATTERN, std::regex::ECMAScript);
    zentrail::DateTime bound(text.c_str());
    std::cmatch m;
    bool found = std::regex_search(text.c_str(), m, pattern);
    if (bound.valid != found) std::abort();
    if (!found) return;
    const int32_t fields[6] = {bound.year, bound.month, bound.day, bound.hour, bound.minute, bound.second};
    for (int i = 0; i < 6; ++i) {
        if (fields[i] != std::atoi(m.str(i + 1).c_str())) std::abort();
    }
}

void check_path(const std::string& path, const std::string& start, const std::string& end) {
    static const std::regex pattern(zentrail::ARCHIVE_NAME_PATTERN, std::regex::ECMAScript);
    std::cmatch m;
    bool expected = false;
    if (std::regex_search(path.c_str(), m, pattern)) {
        std::string day = m.str(1);
        expected = std::strcmp((day + " 23:59:59").c_str(), start.c_str()) >= 0 &&
                   std::strcmp((day + " 00:00:00").c_str(), end.c_str()) <= 0;
    }
    zentrail::Explorer explorer(start.c_str(), end.c_str());
    if (explorer.filter_date_match(path.c_str()) != expected) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    std::string parts[3];
    split(data, size, parts, 3);
    check_bound(parts[0]);
    check_path(parts[0], parts[1].empty() ? "2024-03-01 00:00:00" : parts[1],
               parts[2].empty() ? "2024-03-03 23:59:59" : parts[2]);
    return 0;
}
