// Reading a file that is still being written: from a place a read stopped
// at, through the bytes there are, stopping before a record they cut.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "archive/parser.h"
#include "archive/record_sink.h"
#include "archive_bytes.h"
#include "selection/filter.h"
#include "temp_dir.h"

namespace zentrail {
namespace {

using namespace testing;

// (day, time, code, id, first value byte) of each item handed on.
using Seen = std::vector<std::tuple<uint32_t, uint32_t, int, int, int>>;

class Recorder : public RecordSink {
public:
    void export_value(ACI_WITH_DATE* r) override {
        seen.emplace_back(r->date, r->item.ticks_lo, r->item.code, r->item.id, r->payload_size > 0 ? r->payload[0] : -1);
    }
    Seen seen;
};

constexpr uint16_t KEPT = 7, ALSO_KEPT = 5, SKIPPED = 8;

// A day's file as a runtime writes it: a date mark, alarms, groups, a string
// alarm whose text is longer than a refill's margin, system items that take
// the id before them, and a second date mark (midnight) before the end.
std::vector<uint8_t> day_file(bool with_end_byte) {
    ArchiveBytes b;
    b.date_mark(300);
    for (int i = 0; i < 40; ++i) {
        const uint64_t t = time_of_day(8, 0, i);
        const uint8_t v = static_cast<uint8_t>(i);
        b.alarm(t, AlByte, 1, 1, KEPT, {v})
            .group(t, GrWord, 0, 3, SKIPPED, {0, v, 0, 1, 0, 2})
            .system(t, 1, 4)  // selected by id 8: skipped
            .group(t, GrWord, 0, 2, ALSO_KEPT, {0, v, 1, v})
            .system(t, 2, 5);  // selected by id 5
        if (i % 9 == 4) b.string_alarm(t, 0, 0, KEPT, std::string(700 + i, 'x'));
        if (i == 30) b.date_mark(301);
    }
    if (with_end_byte) b.end_byte().raw({1, 2, 3});
    return b.bytes;
}

class ResumeReadTest : public ::testing::Test {
protected:
    ResumeReadTest() {
        filter.addId(ALSO_KEPT * 1024);
        filter.addId(KEPT * 1024);
    }
    Seen whole(const std::string& path) {
        Recorder r;
        Parser(&filter).read_file(&r, path);
        return r.seen;
    }
    TempDir dir;
    Filter filter{"2000-01-01 00:00:00", "2099-12-31 23:59:59"};
};

// Cut at every byte (by a limit; by the file's end at every 13th, since
// rewriting the file is what takes the time): what is read before the cut,
// then from where that read stopped once the file is whole, is the whole
// file's items, once each.
TEST_F(ResumeReadTest, ACutAtEveryByteLosesAndRepeatsNothing) {
    const std::vector<uint8_t> bytes = day_file(false);
    const std::string path = dir.write("2000-10-27_a.vlx", bytes);
    const Seen expected = whole(path);
    ASSERT_EQ(expected.size(), 124u);  // three a second, four texts
    Parser parser(&filter);
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
        Recorder r;
        const bool truncated = cut % 13 == 0;
        if (truncated) dir.write("2000-10-27_a.vlx", {bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut)});
        const ResumePoint at = parser.read_file_from(&r, path, ResumePoint{}, truncated ? -1 : static_cast<int64_t>(cut));
        ASSERT_LE(at.offset, static_cast<int64_t>(cut));
        ASSERT_GT(at.offset + 1200, static_cast<int64_t>(cut)) << "stopped well before the cut " << cut;
        ASSERT_FALSE(at.ended);
        const std::size_t before = r.seen.size();
        if (truncated) dir.write("2000-10-27_a.vlx", bytes);
        const ResumePoint last = parser.read_file_from(&r, path, at, -1);
        ASSERT_EQ(r.seen, expected) << "cut at " << cut << ", " << before << " items before it";
        ASSERT_EQ(last.offset, static_cast<int64_t>(bytes.size()));
        ASSERT_EQ(last.day, 301u);
    }
}

// A limit stands for the end of the file, and the file read in random
// steps of it gives the whole file's items; an end byte ends it for good.
TEST_F(ResumeReadTest, RandomStepsUpToALimitReadTheFileOnceToItsEndByte) {
    const std::vector<uint8_t> bytes = day_file(true);
    const std::string path = dir.write("2000-10-27_a.vlx", bytes);
    const Seen expected = whole(path);
    std::mt19937 random(33);
    Parser parser(&filter);
    for (int round = 0; round < 30; ++round) {
        Recorder r;
        ResumePoint at;
        int64_t limit = 0;
        while (!at.ended) {
            limit += std::uniform_int_distribution<int64_t>(1, 900)(random);
            const ResumePoint next = parser.read_file_from(&r, path, at, limit);
            ASSERT_LE(next.offset, limit);
            ASSERT_GE(next.offset, at.offset);
            at = next;
            ASSERT_LT(limit, static_cast<int64_t>(bytes.size()) + 1000);
        }
        ASSERT_EQ(r.seen, expected);
        ASSERT_EQ(at.offset, static_cast<int64_t>(bytes.size()) - 4) << "stopped at the end byte";
    }
}

// A system item is selected by the id before it: the id a stop leaves
// carries over to the read that goes on, even when the stop is right
// before the system item.
TEST_F(ResumeReadTest, ASystemItemAfterAStopTakesTheIdBeforeTheStop) {
    ArchiveBytes b;
    b.alarm(time_of_day(1, 0, 0), AlByte, 0, 1, KEPT, {1});
    const std::size_t stop = b.bytes.size();
    b.system(time_of_day(1, 0, 1), 1, 0).alarm(time_of_day(1, 0, 2), AlByte, 0, 1, SKIPPED, {2})
        .system(time_of_day(1, 0, 3), 1, 0);
    const std::string path = dir.write("a.vlx", b.bytes);
    Parser parser(&filter);
    Recorder r;
    const ResumePoint at = parser.read_file_from(&r, path, ResumePoint{}, static_cast<int64_t>(stop) + 3);
    EXPECT_EQ(at.offset, static_cast<int64_t>(stop));
    EXPECT_EQ(at.id, KEPT);
    Parser fresh(&filter);  // as after a restart: nothing carried but the point
    fresh.read_file_from(&r, path, at, -1);
    EXPECT_EQ(r.seen, whole(path));
    EXPECT_EQ(r.seen.size(), 2u);
}

TEST_F(ResumeReadTest, APlaceBeyondTheBytesReadsNothing) {
    const std::string path = dir.write("a.vlx", day_file(false));
    Recorder r;
    const ResumePoint at = Parser(&filter).read_file_from(&r, path, ResumePoint{1 << 20, 3, 0, false}, -1);
    EXPECT_TRUE(r.seen.empty());
    EXPECT_EQ(at.offset, 1 << 20);
    EXPECT_EQ(at.day, 3u);
}

}  // namespace
}  // namespace zentrail
