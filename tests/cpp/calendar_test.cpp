// Archive timestamps and their Gregorian breakdown.
#include "time/calendar.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <tuple>

namespace zentrail {
namespace {

using Ymd = std::tuple<int32_t, int32_t, int32_t>;

// Reference conversions between civil dates and days since 1970-01-01
// (H. Hinnant, "chrono-Compatible Low-Level Date Algorithms").
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    return era * 146097 + (yoe * 365 + yoe / 4 - yoe / 100 + doy) - 719468;
}

Ymd civil_from_days(int64_t z) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {int32_t(yoe + era * 400 + (m <= 2)), int32_t(m), int32_t(doy - (153 * mp + 2) / 5 + 1)};
}

Ymd from_day_number(int32_t days) {
    Ymd c{-1, -1, -1};
    set_days_from_origin(days, &std::get<0>(c), &std::get<1>(c), &std::get<2>(c));
    return c;
}

Ymd from_ns(uint64_t ns) {
    Ymd c{-1, -1, -1};
    decode_date(ns, &std::get<0>(c), &std::get<1>(c), &std::get<2>(c));
    return c;
}

TEST(Calendar, EveryDayAgreesWithReference) {
    const int64_t origin = days_from_civil(2000, 1, 1);
    constexpr int32_t kLastDay = 213503;  // 2584-07-20, the last day a timestamp reaches
    for (int32_t days = 0; days <= kLastDay; ++days) {
        const Ymd want = civil_from_days(origin + days);
        ASSERT_EQ(from_day_number(days), want) << "day " << days;
        ASSERT_EQ(from_ns(code_date(days)), want) << "start of day " << days;
        ASSERT_EQ(from_ns(days < kLastDay ? code_date(days + 1) - 1 : UINT64_MAX), want) << "end of day " << days;
    }
}

TEST(Calendar, WorkedDayNumbers) {
    const std::pair<int32_t, Ymd> cases[] = {
        {0, {2000, 1, 1}},      {59, {2000, 2, 29}},    {60, {2000, 3, 1}},    {365, {2000, 12, 31}},
        {366, {2001, 1, 1}},    {1461, {2004, 1, 1}},   {8825, {2024, 2, 29}}, {8826, {2024, 3, 1}},
        {36525, {2100, 1, 1}},  {36583, {2100, 2, 28}}, {36584, {2100, 3, 1}}, {65535, {2179, 6, 6}},
        {146156, {2400, 2, 29}}, {213503, {2584, 7, 20}},
        // No timestamp gives a negative day number; one is taken as day 0.
        {-1, {2000, 1, 1}},     {-366, {2000, 1, 1}},   {INT32_MIN, {2000, 1, 1}},
    };
    for (const auto& [days, date] : cases) EXPECT_EQ(from_day_number(days), date) << "day " << days;
}

TEST(Calendar, LeapYears) {
    const std::pair<int32_t, bool> cases[] = {{2000, true}, {2024, true}, {2023, false}, {1900, false},
                                              {2100, false}, {2400, true}, {0, true},      {-1, false},
                                              {-4, true},    {-100, false}, {-400, true},  {-2000, true}};
    for (const auto& [year, leap] : cases) EXPECT_EQ(is_leap_year(year), leap) << year;
    for (int32_t y = -2000; y <= 3000; ++y)
        ASSERT_EQ(is_leap_year(y), days_from_civil(y + 1, 1, 1) - days_from_civil(y, 1, 1) == 366) << y;
}

std::array<int32_t, 7> decoded(uint64_t ns) {
    const GTSTAMP ts{ns};
    ADATETIME dt{-1, -1, -1, -1, -1, -1, -1};
    decode_timestamp(&dt, &ts);
    return {dt.year, dt.month, dt.day, dt.hour, dt.minute, dt.second, dt.nanos};
}

TEST(Calendar, Timestamps) {
    // 12:34:56.789012345 on day 8826.
    const uint64_t tod = code_time(0x2932, 0x7B04BF79);
    EXPECT_EQ(tod, 45296789012345ull);
    EXPECT_EQ(code_date(8826), 762566400000000000ull);
    EXPECT_EQ(code_date(8826) + tod, 762611696789012345ull);

    const std::pair<uint64_t, std::array<int32_t, 7>> cases[] = {
        {code_date(8826) + tod, {2024, 3, 1, 12, 34, 56, 789012345}},
        {0, {2000, 1, 1, 0, 0, 0, 0}},
        {NS_PER_DAY - 1, {2000, 1, 1, 23, 59, 59, 999999999}},
        {NS_PER_DAY, {2000, 1, 2, 0, 0, 0, 0}},
        // A time of day of a whole day is not rejected: it moves into the next day.
        {code_date(0) + code_time(0x4E94, 0x914F0000), {2000, 1, 2, 0, 0, 0, 0}},
        {UINT64_MAX, {2584, 7, 20, 23, 34, 33, 709551615}},
    };
    for (const auto& [ns, want] : cases) EXPECT_EQ(decoded(ns), want) << ns << " ns";
}

TEST(Calendar, DecodeTimeDoesNotWrapAtMidnight) {
    const std::pair<uint64_t, std::array<int32_t, 4>> cases[] = {
        {NS_PER_DAY, {24, 0, 0, 0}},
        {code_time(0xFFFF, 0xFFFFFFFF), {78, 11, 14, 976710655}},  // the largest time of day
    };
    for (const auto& [ns, want] : cases) {
        std::array<int32_t, 4> got{-1, -1, -1, -1};
        decode_time(ns, &got[0], &got[1], &got[2], &got[3]);
        EXPECT_EQ(got, want) << ns << " ns";
    }
}

}  // namespace
}  // namespace zentrail
