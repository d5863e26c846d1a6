#include "time/datetime.h"

#include <cstring>

#include "time/text_shape.h"

namespace zentrail {

namespace {

// DATETIME_PATTERN has a fixed length and no alternatives, so searching for
// it is checking each start position in turn; "." is any byte but a line
// feed or a carriage return (the text ends at its NUL).
constexpr std::size_t MATCH_LENGTH = 19;
constexpr char SHAPE[MATCH_LENGTH + 1] = "dddd.dd.dd.dd.dd.dd";
constexpr int FIELD_START[6] = {0, 5, 8, 11, 14, 17};
constexpr int FIELD_WIDTH[6] = {4, 2, 2, 2, 2, 2};

int32_t decimal(const char* digits, int width) {
    int32_t value = 0;
    for (int i = 0; i < width; ++i) value = value * 10 + (digits[i] - '0');
    return value;
}

}  // namespace

DateTime::DateTime(const char* text) {
    const std::size_t length = std::strlen(text);
    for (std::size_t start = 0; start + MATCH_LENGTH <= length; ++start) {
        if (!matches_shape(text + start, SHAPE)) continue;
        int32_t* fields[6] = {&year, &month, &day, &hour, &minute, &second};
        for (int i = 0; i < 6; ++i) *fields[i] = decimal(text + start + FIELD_START[i], FIELD_WIDTH[i]);
        valid = true;
        return;
    }
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
