// A series' rows in force given from outside the read (from an index of
// files it leaves out) against those its own files hold.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "archive_bytes.h"
#include "scan/series_feed.h"
#include "temp_dir.h"
#include "time/calendar.h"

namespace zentrail {
namespace {

using testing::ArchiveBytes;
using testing::TempDir;
using testing::time_of_day;

constexpr uint32_t DAY = 8826;  // 2024-03-01
constexpr int32_t A = 7 * 1024;
constexpr int32_t B = 9 * 1024;

int64_t unix_ns(uint64_t tod) {
    return static_cast<int64_t>(code_date(static_cast<int32_t>(DAY)) + tod) + ARCHIVE_EPOCH_UNIX_NS;
}

std::vector<uint8_t> word(uint16_t v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }

// One file: code A is 1 at 01:00 and 2 at 03:00.
std::string one_file(const TempDir& dir) {
    ArchiveBytes bytes;
    bytes.date_mark(DAY)
        .group(time_of_day(1, 0, 0), GrWord, 0, 1, 7, word(1))
        .group(time_of_day(3, 0, 0), GrWord, 0, 1, 7, word(2))
        .end_byte();
    return dir.write("2024-03-01_a.vlx", bytes.bytes);
}

TEST(SeriesInForce, TheReadsOwnRowWinsAtOneInstantAndLaterRowsWin) {
    TempDir dir;
    SeriesRequest request;
    request.paths = {one_file(dir)};
    request.window = SeriesWindow{INT64_MIN, unix_ns(time_of_day(2, 0, 0)), unix_ns(time_of_day(5, 0, 0))};
    request.codes = {A, B};
    request.in_force = {CodePoint{A, SeriesPoint{unix_ns(time_of_day(1, 0, 0)), 9.0}},
                        CodePoint{B, SeriesPoint{unix_ns(time_of_day(0, 30, 0)), 5.0}}};
    SeriesFeed feed(std::move(request));
    while (!feed.prepare(std::chrono::milliseconds(50))) {
    }
    ASSERT_EQ(feed.columns().size(), 2u);
    EXPECT_EQ(feed.in_force(0).value, 1.0);  // the file's row at the same instant, later in read order
    EXPECT_EQ(feed.in_force(1).value, 5.0);  // given alone
    EXPECT_EQ(feed.in_force(1).time, unix_ns(time_of_day(0, 30, 0)));
}

TEST(SeriesInForce, EveryCodeHasAColumnForACodeGivenInForce) {
    TempDir dir;
    SeriesRequest request;
    request.paths = {one_file(dir)};
    request.window = SeriesWindow{INT64_MIN, unix_ns(time_of_day(4, 0, 0)), unix_ns(time_of_day(5, 0, 0))};
    request.every_code = true;
    request.in_force = {CodePoint{B, SeriesPoint{unix_ns(time_of_day(3, 30, 0)), 5.0}}};
    SeriesFeed feed(std::move(request));
    while (!feed.prepare(std::chrono::milliseconds(50))) {
    }
    ASSERT_EQ(feed.columns().size(), 2u);
    EXPECT_EQ(feed.columns().code(0), A);
    EXPECT_EQ(feed.in_force(0).value, 2.0);
    EXPECT_EQ(feed.columns().code(1), B);
    EXPECT_EQ(feed.in_force(1).value, 5.0);
    EXPECT_EQ(feed.last_time(1), unix_ns(time_of_day(3, 30, 0)));
}

}  // namespace
}  // namespace zentrail
