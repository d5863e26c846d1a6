#include "time/wall_clock.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace zentrail {
namespace {

constexpr int64_t S = 1000000000;
constexpr int64_t H = 3600 * S;
constexpr int64_t D = 24 * H;

// A zone of offset +1h that goes to +2h on day 10 at 01:00 UTC, back on day
// 20 at 01:00 UTC, and back once more by an hour at midnight of day 30
// (a change whose repeated hour straddles two wall days).
std::vector<ClockChange> changes() {
    return {{10 * D + 1 * H, 1 * H, 2 * H}, {20 * D + 1 * H, 2 * H, 1 * H}, {30 * D - 1 * H, 1 * H, 0}};
}

// The model: the offsets a wall time may have, by trying each offset the
// zone ever has.
std::vector<int64_t> offsets_of(int64_t wall) {
    const std::vector<ClockChange> all = changes();
    std::vector<int64_t> found;
    for (int64_t offset : {0 * H, 1 * H, 2 * H}) {
        const int64_t instant = wall - offset;
        int64_t in_force = 1 * H;
        for (const ClockChange& c : all) {
            if (instant >= c.at) in_force = c.after;
        }
        if (in_force == offset) found.push_back(offset);
    }
    return found;
}

TEST(ZoneDays, AgreesWithTheModelAtEveryQuarterHourAndAtTheEdges) {
    const ZoneDays zone(1 * H, changes());
    std::vector<int64_t> walls;
    for (int64_t w = 0; w < 40 * D; w += 15 * 60 * S) walls.push_back(w);
    for (const ClockChange& c : changes()) {
        for (int64_t edge : {c.first_wall(), c.end_wall()}) {
            for (int64_t step : {-1LL, 0LL, 1LL}) walls.push_back(edge + step);
        }
    }
    for (int64_t wall : walls) {
        const std::vector<int64_t> offsets = offsets_of(wall);
        const ZoneDays::Found found = zone.find(wall);
        SCOPED_TRACE(wall);
        if (offsets.size() == 1) {
            EXPECT_EQ(found.kind, ZoneDays::Kind::Unique);
            EXPECT_EQ(found.offset, offsets[0]);
            EXPECT_EQ(zone.wall_of(wall - offsets[0]), wall);
        } else if (offsets.empty()) {
            EXPECT_EQ(found.kind, ZoneDays::Kind::Skipped);
            EXPECT_EQ(found.offset, zone.change(found.change).before);
        } else {
            EXPECT_EQ(found.kind, ZoneDays::Kind::Repeated);
            EXPECT_EQ(found.offset, zone.change(found.change).before);
            for (int64_t offset : offsets) EXPECT_EQ(zone.wall_of(wall - offset), wall);
        }
    }
}

// The records of a runtime logging every `step` in time order from
// `first` to `last` (instants), as (wall, instant) in file order.
std::vector<std::pair<int64_t, int64_t>> logged(const ZoneDays& zone, int64_t first, int64_t last, int64_t step) {
    std::vector<std::pair<int64_t, int64_t>> rows;
    for (int64_t t = first; t <= last; t += step) rows.emplace_back(zone.wall_of(t), t);
    return rows;
}

TEST(WallClock, ARuntimeLoggingInOrderThroughTheChangeIsReadExactly) {
    const ZoneDays zone(1 * H, changes());
    for (int64_t step : {S, 60 * S, 49 * 60 * S}) {
        ClockCounts counts;
        WallClock clock(&zone, &counts);
        clock.begin_file(FoldState{});
        for (const auto& [wall, instant] : logged(zone, 20 * D - 2 * H, 20 * D + 4 * H, step)) {
            int64_t got = 0;
            ASSERT_TRUE(clock.instant_of(wall, &got));
            ASSERT_EQ(got, instant) << "step " << step;
        }
        clock.end_file(true);
        EXPECT_EQ(counts.guessed.load(), 0);
        EXPECT_EQ(counts.skipped.load(), 0);
    }
}

TEST(WallClock, TheStateCarriedInAResumePointGivesWhatOneReadGives) {
    const ZoneDays zone(1 * H, changes());
    const auto rows = logged(zone, 20 * D - 2 * H, 20 * D + 4 * H, 60 * S);
    std::mt19937 random(7);
    for (int trial = 0; trial < 20; ++trial) {
        ClockCounts counts;
        WallClock clock(&zone, &counts);
        FoldState state;
        std::size_t i = 0;
        while (i < rows.size()) {
            const std::size_t n = std::min(rows.size() - i, std::size_t{1} + random() % 200);
            WallClock step(&zone, &counts);
            step.begin_file(state);
            for (std::size_t k = i; k < i + n; ++k) {
                int64_t got = 0;
                ASSERT_TRUE(step.instant_of(rows[k].first, &got));
                ASSERT_EQ(got, rows[k].second);
            }
            i += n;
            state = step.end_file(i == rows.size());
        }
        EXPECT_EQ(counts.guessed.load(), 0);
    }
}

TEST(WallClock, LateRowsKeepTheirPassAndUnprovenRowsAreCounted) {
    const ZoneDays zone(1 * H, changes());
    const int64_t a = zone.change(1).first_wall();  // the repeated hour's first wall time
    ClockCounts counts;
    WallClock clock(&zone, &counts);
    clock.begin_file(FoldState{});
    int64_t got = 0;
    // First pass, a row five minutes late, then the clock goes back.
    for (int64_t wall : {a + 10 * 60 * S, a + 30 * 60 * S, a + 25 * 60 * S, a + 50 * 60 * S}) {
        ASSERT_TRUE(clock.instant_of(wall, &got));
        EXPECT_EQ(got, wall - 2 * H);
    }
    ASSERT_TRUE(clock.instant_of(a + 5 * 60 * S, &got));
    EXPECT_EQ(got, a + 5 * 60 * S - 1 * H);
    clock.end_file(true);
    EXPECT_EQ(counts.guessed.load(), 0);

    // A file that starts in the second pass and never sees the clock go
    // back: taken as the first pass, and counted; a skipped hour's rows too.
    WallClock other(&zone, &counts);
    other.begin_file(FoldState{});
    for (int64_t wall : {a + 40 * 60 * S, a + 50 * 60 * S, a + 70 * 60 * S}) ASSERT_TRUE(other.instant_of(wall, &got));
    ASSERT_TRUE(other.instant_of(zone.change(0).first_wall() + 60 * S, &got));
    EXPECT_EQ(got, zone.change(0).first_wall() + 60 * S - 1 * H);
    other.end_file(true);
    EXPECT_EQ(counts.guessed.load(), 2);
    EXPECT_EQ(counts.skipped.load(), 1);
}

TEST(WallClock, AnInstantBeforeTheOriginIsLeftOutAndCounted) {
    const ZoneDays zone(1 * H, changes());
    ClockCounts counts;
    WallClock clock(&zone, &counts);
    clock.begin_file(FoldState{});
    int64_t got = 0;
    EXPECT_FALSE(clock.instant_of(30 * 60 * S, &got));
    EXPECT_TRUE(clock.instant_of(H, &got));
    EXPECT_EQ(got, 0);
    clock.end_file(true);
    EXPECT_EQ(counts.before_origin.load(), 1);
}

}  // namespace
}  // namespace zentrail

namespace zentrail {
namespace {

TEST(WallClock, AStateNamingNoChangeOfTheZoneStandsForNone) {
    const ZoneDays zone(1 * H, changes());
    WallClock clock(&zone, nullptr);
    clock.begin_file(FoldState{1000, false, false, 0, 5});
    int64_t got = 0;
    const int64_t a = zone.change(1).first_wall();
    ASSERT_TRUE(clock.instant_of(a + 60 * S, &got));
    EXPECT_EQ(got, a + 60 * S - 2 * H);  // the first pass, as in a file read from its start
    EXPECT_EQ(clock.end_file(false).change, 1);
}

}  // namespace
}  // namespace zentrail
