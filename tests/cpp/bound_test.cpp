// Bounds of a columnar read: the texts accepted, the precision each states,
// and the window of timestamps two of them span.
#include "time/bound.h"

#include <gtest/gtest.h>

#include <string>

#include "time/calendar.h"

namespace {

using zentrail::BoundSpec;
using zentrail::NS_PER_DAY;
using zentrail::NS_PER_MINUTE;
using zentrail::NS_PER_SECOND;

struct TextCase {
    const char* text;
    bool valid;
    BoundSpec bound;  // when valid
};

constexpr int64_t H12 = 12 * 3600 * static_cast<int64_t>(NS_PER_SECOND);
constexpr int64_t DAY = static_cast<int64_t>(NS_PER_DAY);
constexpr int64_t MINUTE = static_cast<int64_t>(NS_PER_MINUTE);
constexpr int64_t SECOND = static_cast<int64_t>(NS_PER_SECOND);

const TextCase TEXT_CASES[] = {
    {"2024-03-01", true, {2024, 3, 1, 0, DAY}},
    {"2024-03-01 12:00", true, {2024, 3, 1, H12, MINUTE}},
    {"2024-03-01T12:00:00", true, {2024, 3, 1, H12, SECOND}},
    {"2024-03-01 12:00:00.5", true, {2024, 3, 1, H12 + 500000000, 1}},
    {"2024-03-01 12:00:00.000000001", true, {2024, 3, 1, H12 + 1, 1}},
    {"2024-02-29 23:59:59", true, {2024, 2, 29, DAY - SECOND, SECOND}},
    {"9999-12-31", true, {9999, 12, 31, 0, DAY}},
    {"2023-02-29", false, {}},
    {"2100-02-29", false, {}},
    {"0000-01-01", false, {}},
    {"2024-03-01 24:00", false, {}},
    {"2024-03-01 12:60", false, {}},
    {"2024-03-01 12:00:60", false, {}},
    {"2024-03-01 12:00:00.", false, {}},
    {"2024-03-01 12:00:00.0000000001", false, {}},
    {"2024-03-01 12", false, {}},
    {"2024-03-01Z", false, {}},
    {"2024/03/01", false, {}},
    {" 2024-03-01", false, {}},
    {"2024-03-01  12:00", false, {}},
    {"", false, {}},
};

TEST(Bound, ParsesExactlyTheStatedForms) {
    for (const TextCase& c : TEXT_CASES) {
        const auto bound = zentrail::parse_bound(c.text);
        ASSERT_EQ(bound.has_value(), c.valid) << c.text;
        if (!c.valid) continue;
        EXPECT_EQ(bound->year, c.bound.year) << c.text;
        EXPECT_EQ(bound->month, c.bound.month) << c.text;
        EXPECT_EQ(bound->day, c.bound.day) << c.text;
        EXPECT_EQ(bound->ns_of_day, c.bound.ns_of_day) << c.text;
        EXPECT_EQ(bound->unit_ns, c.bound.unit_ns) << c.text;
    }
}

// Against the calendar's own breakdown: every day from 1999 to 2600.
TEST(Bound, DaysFromOriginInvertTheCalendar) {
    EXPECT_EQ(zentrail::days_from_origin(2000, 1, 1), 0);
    EXPECT_EQ(zentrail::days_from_origin(1999, 12, 31), -1);
    for (int32_t days = 0; days <= 219000; ++days) {
        int32_t y, m, d;
        zentrail::set_days_from_origin(days, &y, &m, &d);
        ASSERT_EQ(zentrail::days_from_origin(y, m, d), days) << y << "-" << m << "-" << d;
    }
}

struct WindowCase {
    const char* start;
    const char* end;
    bool open;
    uint64_t first_ns;
    uint64_t last_ns;
};

constexpr uint64_t DAY_8826 = 8826 * NS_PER_DAY;  // 2024-03-01

const WindowCase WINDOW_CASES[] = {
    {"2024-03-01", "2024-03-01", true, DAY_8826, DAY_8826 + NS_PER_DAY - 1},
    {"2024-03-01 12:00", "2024-03-01 12:00", true, DAY_8826 + H12, DAY_8826 + H12 + NS_PER_MINUTE - 1},
    {"2024-03-01 12:00:00.5", "2024-03-01 12:00:00.5", true, DAY_8826 + H12 + 500000000, DAY_8826 + H12 + 500000000},
    {"2024-03-02", "2024-03-01", false, 0, 0},
    {"1999-01-01", "2000-01-01 00:00:00", true, 0, NS_PER_SECOND - 1},
    {"1999-01-01", "1999-12-31", false, 0, 0},
    {"2024-03-01", "9999-12-31", true, DAY_8826, UINT64_MAX},
    {"2600-01-01", "9999-12-31", false, 0, 0},
};

TEST(Bound, WindowsRunFromTheStartToTheEndOfTheEndsPrecision) {
    for (const WindowCase& c : WINDOW_CASES) {
        const auto window = zentrail::instant_window(*zentrail::parse_bound(c.start), *zentrail::parse_bound(c.end));
        EXPECT_EQ(window.open, c.open) << c.start << " .. " << c.end;
        if (!c.open) continue;
        EXPECT_EQ(window.first_ns, c.first_ns) << c.start;
        EXPECT_EQ(window.last_ns, c.last_ns) << c.end;
    }
}

TEST(Bound, DiscoveryTextsAreTheDaysWithTheirEdges) {
    const BoundSpec b{2024, 3, 1, H12, 1};
    EXPECT_EQ(zentrail::discovery_text(b, false), "2024-03-01 00:00:00");
    EXPECT_EQ(zentrail::discovery_text(b, true), "2024-03-01 23:59:59");
}

}  // namespace
