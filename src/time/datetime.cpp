#include "time/datetime.h"

#include <cstdlib>
#include <regex>
#include <string>

namespace zentrail {

DateTime::DateTime(const char* text) {
    const std::regex pattern(DATETIME_PATTERN, std::regex::ECMAScript);
    std::cmatch match;
    if (!std::regex_search(text, match, pattern)) return;
    int32_t* fields[6] = {&year, &month, &day, &hour, &minute, &second};
    for (int i = 0; i < 6; ++i) {
        *fields[i] = static_cast<int32_t>(std::strtol(match.str(i + 1).c_str(), nullptr, 10));
    }
    valid = true;
}

int DateTime::_compare(const ADATETIME& t) const {
    const int32_t mine[6] = {year, month, day, hour, minute, second};
    const int32_t theirs[6] = {t.year, t.month, t.day, t.hour, t.minute, t.second};
    for (int i = 0; i < 6; ++i) {
        if (mine[i] != theirs[i]) return mine[i] < theirs[i] ? -1 : 1;
    }
    return 0;
}

}  // namespace zentrail
