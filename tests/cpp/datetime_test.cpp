// Date-time bounds: parsing free text and whole-second comparisons.
#include "time/datetime.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "archive_bytes.h"
#include "time/calendar.h"

namespace {

using zentrail::ADATETIME;
using zentrail::DateTime;
using zentrail::testing::time_of_day;

struct ParseCase {
    std::string text;
    bool valid;
    int fields[6];  // year, month, day, hour, minute, second when valid
};

std::string repeat(const std::string& part, int times) {
    std::string whole;
    for (int i = 0; i < times; ++i) whole += part;
    return whole;
}

// Readable, stable test names: control characters spelled out, long texts cut.
void PrintTo(const ParseCase& c, std::ostream* os) {
    std::string shown;
    for (char ch : c.text.substr(0, 40)) {
        shown += ch == '\n' ? "<LF>" : ch == '\r' ? "<CR>" : ch == '\t' ? "<TAB>" : std::string(1, ch);
    }
    *os << '"' << shown << (c.text.size() > 40 ? "..." : "") << '"';
}

class DateTimeParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(DateTimeParse, FindsTheLeftmostDateTime) {
    const ParseCase& c = GetParam();
    DateTime bound(c.text.c_str());
    ASSERT_EQ(bound.isValid(), c.valid);
    if (!c.valid) return;
    const int got[6] = {bound.year, bound.month, bound.day, bound.hour, bound.minute, bound.second};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(got[i], c.fields[i]) << "field " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DateTimeParse,
    ::testing::Values(
        ParseCase{"2024-03-01 12:30:45", true, {2024, 3, 1, 12, 30, 45}},
        ParseCase{"2024/03/01T12.30.45Z", true, {2024, 3, 1, 12, 30, 45}},
        ParseCase{"2024-03-01\t12:30:45", true, {2024, 3, 1, 12, 30, 45}},
        ParseCase{"2024x03901a12b30045", true, {2024, 3, 1, 12, 30, 45}},  // a digit is a separator too
        ParseCase{"x2024-03-01 12:30:45.500 UTC", true, {2024, 3, 1, 12, 30, 45}},
        ParseCase{"12024-03-01 12:30:45", true, {2024, 3, 1, 12, 30, 45}},
        ParseCase{"2024-03-01 12:30:45 to 2025-04-02 01:02:03", true, {2024, 3, 1, 12, 30, 45}},
        ParseCase{"2024-03-01 no 2025-04-02 01:02:03", true, {2025, 4, 2, 1, 2, 3}},
        ParseCase{repeat("2024-03-01 ", 500) + "12:30:45", true, {2024, 3, 1, 12, 30, 45}},
        ParseCase{"2008-08-09 08:09:09", true, {2008, 8, 9, 8, 9, 9}},  // leading zeros are decimal
        ParseCase{"0000-00-00 00:00:00", true, {0, 0, 0, 0, 0, 0}},
        ParseCase{"2024-13-45 99:99:99", true, {2024, 13, 45, 99, 99, 99}},
        ParseCase{"2024-03-01", false, {}},
        ParseCase{"20240301123045", false, {}},
        ParseCase{"2024-3-1 1:2:3", false, {}},
        ParseCase{"2024-03-01 12:30:4", false, {}},
        ParseCase{"2024-03-01\n12:30:45", false, {}},
        ParseCase{"2024-03-01\r12:30:45", false, {}},
        ParseCase{"2024-03-01 12\n30:45", false, {}},
        ParseCase{"2024-03-01\r\n12:30:45", false, {}},
        ParseCase{"2024-03-01  12:30:45", false, {}},  // two separator characters
        ParseCase{"abcd-ef-gh ij:kl:mn", false, {}},
        ParseCase{"", false, {}}));

TEST(DateTimeDefault, IsInvalid) { EXPECT_FALSE(DateTime().isValid()); }

ADATETIME at(int y, int mo, int d, int h, int mi, int s, int ns = 0) { return ADATETIME{y, mo, d, h, mi, s, ns}; }

struct CompareCase {
    const char* bound;
    ADATETIME t;
    bool lte;
    bool gte;
};

TEST(DateTimeCompare, WholeSecondsFieldByField) {
    const CompareCase cases[] = {
        {"2024-03-01 12:30:45", at(2024, 3, 1, 12, 30, 45), true, true},
        {"2024-03-01 12:30:45", at(2024, 3, 1, 12, 30, 45, 999999999), true, true},
        {"2024-03-01 12:30:45", at(2024, 3, 1, 12, 30, 46), true, false},
        {"2024-03-01 12:30:45", at(2024, 3, 1, 12, 30, 44, 999999999), false, true},
        {"2024-01-01 00:00:00", at(2023, 12, 31, 23, 59, 59), false, true},   // year decides
        {"2024-02-01 00:00:00", at(2024, 1, 31, 23, 59, 59), false, true},    // month decides
        {"2024-03-02 00:00:00", at(2024, 3, 1, 23, 59, 59), false, true},     // day decides
        {"2024-03-01 13:00:00", at(2024, 3, 1, 12, 59, 59), false, true},     // hour decides
        {"2024-03-01 12:31:00", at(2024, 3, 1, 12, 30, 59), false, true},     // minute decides
        {"2024-03-01 12:30:45", at(2025, 1, 1, 0, 0, 0), true, false},
        {"2024-13-45 99:99:99", at(2024, 12, 31, 23, 59, 59), false, true},  // plain numbers
        {"2024-00-00 00:00:00", at(2024, 1, 1, 0, 0, 0), true, false},
        {"not a time", at(2024, 3, 1, 12, 30, 45), false, false},
        {"not a time", at(0, 0, 0, 0, 0, 0), false, false},
        {"", at(-1, -1, -1, -1, -1, -1, -1), false, false},
    };
    for (const CompareCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "case " << (&c - cases) << ": " << c.bound);
        const DateTime bound(c.bound);
        EXPECT_EQ(bound.lte(c.t), c.lte);
        EXPECT_EQ(bound.gte(c.t), c.gte);
    }
}

// Times taken the way items get them: a day number and a time of day.
ADATETIME item_time(int32_t day, uint64_t tod) {
    ADATETIME t{};
    const zentrail::GTSTAMP stamp{zentrail::code_date(day) + tod};
    zentrail::decode_timestamp(&t, &stamp);
    return t;
}

TEST(DateTimeCompare, WholeDayLiesBetweenMidnightAndLastSecond) {
    const DateTime start("2024-03-01 00:00:00");
    const DateTime end("2024-03-01 23:59:59");
    const int32_t march_first = 8826;
    const uint64_t last_ns = time_of_day(23, 59, 59, 999999999);
    for (uint64_t tod = 0; tod <= last_ns; tod += time_of_day(0, 17, 3, 123456789)) {
        SCOPED_TRACE(tod);
        EXPECT_TRUE(start.lte(item_time(march_first, tod)));
        EXPECT_TRUE(end.gte(item_time(march_first, tod)));
    }
    EXPECT_TRUE(start.lte(item_time(march_first, 0)));
    EXPECT_TRUE(end.gte(item_time(march_first, last_ns)));
    EXPECT_FALSE(start.lte(item_time(march_first - 1, last_ns)));
    EXPECT_FALSE(end.gte(item_time(march_first + 1, 0)));
}

}  // namespace
