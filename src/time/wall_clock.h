// Wall-clock times of a zone and the instants they stand for.
//
// The runtime stamps records with its clock's wall time and no offset. When
// that clock runs on a zone's local time, a wall time names one instant but
// for two stretches a year: the hour skipped when clocks go forward (no
// instant has those wall times) and the hour repeated when they go back (two
// instants have each). ZoneDays answers by a table of wall days (and one of
// days of instants), so that turning a record's wall time into an instant
// costs a lookup, not a search of the zone's rules. WallClock turns the
// records of one file, in the order the file holds them, into instants, and
// tells the repeated hour's two passes apart by that order (see its rule).
//
// Every time here is in nanoseconds since 2000-01-01 00:00 (the archive's
// origin): wall times as the records state them, instants in UTC; an offset
// is wall time minus instant.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zentrail {

// One change of a zone's offset: at the instant `at` the offset goes from
// `before` to `after`.
struct ClockChange {
    int64_t at;
    int64_t before;
    int64_t after;

    bool goes_back() const { return after < before; }
    // The wall times the change touches: [first_wall, end_wall) is the hour
    // skipped (going forward) or the hour repeated (going back).
    int64_t first_wall() const { return at + (after < before ? after : before); }
    int64_t end_wall() const { return at + (after < before ? before : after); }
};

class ZoneDays {
public:
    // `first_offset`: the offset before the first change; `changes` in the
    // order of their instants, whose touched wall times do not overlap.
    ZoneDays(int64_t first_offset, std::vector<ClockChange> changes);

    enum class Kind : uint8_t { Unique, Skipped, Repeated };
    struct Found {
        Kind kind;
        int64_t offset;   // Unique: the offset; Skipped and Repeated: the one before the change
        uint32_t change;  // Skipped and Repeated: the change's index
    };
    // What a wall time stands for.
    Found find(int64_t wall) const {
        const DaySpan& day = wall_days[_wall_day(wall)];
        Found found{Kind::Unique, day.offset, 0};
        for (uint32_t k = day.first; k < day.first + day.count; ++k) {
            const ClockChange& c = changes[k];
            if (wall < c.first_wall()) break;
            if (wall >= c.end_wall()) {
                found.offset = c.after;
                continue;
            }
            return Found{c.goes_back() ? Kind::Repeated : Kind::Skipped, c.before, k};
        }
        return found;
    }
    // The wall time of an instant (each instant has one).
    int64_t wall_of(int64_t instant) const {
        const DaySpan& day = instant_days[_instant_day(instant)];
        int64_t offset = day.offset;
        for (uint32_t k = day.first; k < day.first + day.count && instant >= changes[k].at; ++k) {
            offset = changes[k].after;
        }
        return instant + offset;
    }
    // Whether records of wall day `day` may fall in a repeated hour, so that
    // every record of it counts for telling the passes apart.
    bool repeats_on(int64_t day) const { return wall_days[_clamped(day)].repeats; }
    const ClockChange& change(uint32_t k) const { return changes[k]; }
    std::size_t change_count() const { return changes.size(); }

private:
    struct DaySpan {
        int64_t offset;   // in force at the day's start, before its changes
        uint32_t first;   // the changes that touch the day: [first, first + count)
        uint32_t count;
        bool repeats = false;
    };
    // Days of the table: every wall day a record can state (a date mark's
    // day up to 65,535, plus a time of day of up to 2^48 ns) and a margin.
    static constexpr int64_t DAYS = 65536 + 8;
    static int64_t _clamped(int64_t day) { return day < 0 ? 0 : day >= DAYS ? DAYS - 1 : day; }
    static int64_t _day_of(int64_t ns);
    std::size_t _wall_day(int64_t wall) const { return static_cast<std::size_t>(_clamped(_day_of(wall))); }
    std::size_t _instant_day(int64_t instant) const { return static_cast<std::size_t>(_clamped(_day_of(instant))); }
    void _build(std::vector<DaySpan>& days, bool by_wall, int64_t first_offset);

    std::vector<ClockChange> changes;
    std::vector<DaySpan> wall_days;
    std::vector<DaySpan> instant_days;
};

// Where one file's reading stands in a repeated hour: kept between the
// steps of a file read as it grows (in its resume point).
struct FoldState {
    int32_t change = -1;         // the change whose repeated hour the file has met; -1: none
    bool second = false;         // its second pass has begun
    bool seen_back = false;      // ... because the clock was seen going back
    int64_t latest = INT64_MIN;  // the latest wall time of the first pass so far
    int64_t pending = 0;         // first-pass rows that no going back has confirmed yet
};

// What a read had to guess or could not place, for its one warning.
struct ClockCounts {
    std::atomic<int64_t> guessed{0};        // rows of a repeated hour placed without proof
    std::atomic<int64_t> skipped{0};        // rows of a skipped hour
    std::atomic<int64_t> before_origin{0};  // rows whose instant lies before 2000-01-01 UTC: left out
};

// The rule for a repeated hour [A, B) (B - A = d, the hour the clock went
// back by), applied to the records of one file in read order:
//   - a record at or after B begins the second pass;
//   - a record in [A, B) while the first pass lasts is of the first pass,
//     unless its wall time lies more than a tolerance (ten minutes, or d / 2
//     if shorter) before the latest first-pass wall time: then the clock has
//     gone back, and it and every later record of the hour are of the second
//     pass;
//   - a record in [A, B) during the second pass is of the second pass.
// This is exact for a runtime that logs in time order through the change
// with no silence longer than d minus the tolerance (50 minutes for an hour)
// across it. Rows logged late by less than the tolerance keep their pass; a
// first-pass row logged after the clock went back is taken as second pass.
// Rows are guessed (counted) when nothing proves their pass: first-pass rows
// of a file in which the clock is never seen going back (a file that starts
// inside the hour, a silence across the change, a file that ends in it), and
// second-pass rows that follow a row at or after B rather than the going back.
// Wall times of a skipped hour were written by a clock still on the offset
// before the change: they are read with that offset (as Python's fold=0),
// and counted.
class WallClock {
public:
    static constexpr int64_t LATE_TOLERANCE = 600LL * 1000000000LL;

    WallClock(const ZoneDays* zone, ClockCounts* counts) : zone(zone), counts(counts) {}

    // A file's reading begins (from its start, or from a resume point's state).
    void begin_file(const FoldState& from) {
        state = from;
        // A state from elsewhere (a cursor, a lake's state) that names no
        // change of this zone stands for none.
        if (state.change >= 0 && static_cast<std::size_t>(state.change) >= zone->change_count()) state = FoldState{};
    }
    // The file's reading stops; `whole`: at its end, so that rows still
    // waiting for proof are guessed. The counts go to the read's.
    FoldState end_file(bool whole);

    // The instant of a record's wall time into *instant; false for one
    // before the origin (the record is left out).
    bool instant_of(int64_t wall, int64_t* instant) { return _place(wall, true, instant); }
    // A record the read does not hand on, on a day with a repeated hour:
    // its time still tells where the clock stands, so that which pass a row
    // is of does not depend on which other rows a read selects.
    void observe(int64_t wall) {
        int64_t ignored;
        _place(wall, false, &ignored);
    }
    const ZoneDays& days() const { return *zone; }

private:
    bool _place(int64_t wall, bool counted, int64_t* instant) {
        const ZoneDays::Found found = zone->find(wall);
        if (found.kind == ZoneDays::Kind::Unique) {
            if (state.change >= 0 && !state.second &&
                wall >= zone->change(static_cast<uint32_t>(state.change)).end_wall())
                _pass_over_the_hour();
            *instant = wall - found.offset;
        } else if (found.kind == ZoneDays::Kind::Skipped) {
            skipped += counted;
            *instant = wall - found.offset;
        } else {
            *instant = wall - _repeated_offset(wall, found.change, counted);
        }
        if (*instant >= 0) return true;
        before_origin += counted;
        return false;
    }
    int64_t _repeated_offset(int64_t wall, uint32_t k, bool counted);
    void _pass_over_the_hour();

    const ZoneDays* zone;
    ClockCounts* counts;
    FoldState state;
    int64_t guessed = 0;
    int64_t skipped = 0;
    int64_t before_origin = 0;
};

// A read's zone: the table its files' wall times are read by, shared by
// every worker, and the counts of what they had to guess. Empty: the times
// are read as the files state them.
struct ReadZone {
    std::shared_ptr<const ZoneDays> days;
    std::shared_ptr<ClockCounts> counts;
    // The zone's name, and the Arrow format of its instants ("tsn:<name>",
    // or "tsn:" for wall times as they stand), which lives as long as the process.
    std::string name;
    const char* arrow_time_format = "tsn:";

    const char* time_format() const { return arrow_time_format; }

    explicit operator bool() const { return days != nullptr; }
};

}  // namespace zentrail
