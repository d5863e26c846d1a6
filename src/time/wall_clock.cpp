#include "time/wall_clock.h"

#include <algorithm>
#include <utility>

#include "time/calendar.h"

namespace zentrail {

namespace {
constexpr auto DAY = static_cast<int64_t>(NS_PER_DAY);
}

ZoneDays::ZoneDays(int64_t first_offset, std::vector<ClockChange> changes) : changes(std::move(changes)) {
    _build(wall_days, true, first_offset);
    _build(instant_days, false, first_offset);
}

int64_t ZoneDays::_day_of(int64_t ns) {
    // Floor division: wall times and instants before the origin lie on day -1.
    return ns >= 0 ? ns / DAY : -((-ns + DAY - 1) / DAY);
}

// Each day's offset at its start and the changes that touch it: by wall
// time, those whose skipped or repeated wall times meet the day; by
// instant, those that happen during it.
void ZoneDays::_build(std::vector<DaySpan>& days, bool by_wall, int64_t first_offset) {
    days.assign(static_cast<std::size_t>(DAYS), DaySpan{first_offset, 0, 0, false});
    std::size_t next = 0;        // the first change not wholly before the day
    int64_t offset = first_offset;  // in force after the changes wholly before the day
    for (int64_t d = 0; d < DAYS; ++d) {
        const int64_t day_start = d * DAY;
        const int64_t day_end = day_start + DAY;
        const auto first_of = [&](const ClockChange& c) { return by_wall ? c.first_wall() : c.at; };
        const auto end_of = [&](const ClockChange& c) { return by_wall ? c.end_wall() : c.at + 1; };
        while (next < changes.size() && end_of(changes[next]) <= day_start) offset = changes[next++].after;
        DaySpan& span = days[static_cast<std::size_t>(d)];
        span.offset = offset;
        span.first = static_cast<uint32_t>(next);
        std::size_t k = next;
        while (k < changes.size() && first_of(changes[k]) < day_end) {
            span.repeats = span.repeats || changes[k].goes_back();
            ++k;
        }
        span.count = static_cast<uint32_t>(k - next);
        // A change that touches the day before its start has begun; the
        // offset before it is the one in force.
        if (span.count > 0) span.offset = changes[next].before;
    }
}

int64_t WallClock::_repeated_offset(int64_t wall, uint32_t k, bool counted) {
    const ClockChange& c = zone->change(k);
    if (state.change != static_cast<int32_t>(k)) {
        _pass_over_the_hour();  // another change's rows still waiting are guessed
        state = FoldState{};
        state.change = static_cast<int32_t>(k);
    }
    if (!state.second && state.latest != INT64_MIN) {
        const int64_t tolerance = std::min(LATE_TOLERANCE, (c.before - c.after) / 2);
        if (wall < state.latest - tolerance) {
            state.second = true;
            state.seen_back = true;
            state.pending = 0;  // the going back proves the first pass
        }
    }
    if (!state.second) {
        state.latest = std::max(state.latest, wall);
        state.pending += counted;
        return c.before;
    }
    if (!state.seen_back) guessed += counted;
    return c.after;
}

void WallClock::_pass_over_the_hour() {
    if (state.second) return;
    guessed += state.pending;
    state.pending = 0;
    if (state.change >= 0) state.second = true;
}

FoldState WallClock::end_file(bool whole) {
    if (whole) {
        if (!state.second) guessed += state.pending;
        state = FoldState{};
    }
    if (counts != nullptr) {
        counts->guessed.fetch_add(guessed, std::memory_order_relaxed);
        counts->skipped.fetch_add(skipped, std::memory_order_relaxed);
        counts->before_origin.fetch_add(before_origin, std::memory_order_relaxed);
    }
    guessed = skipped = before_origin = 0;
    const FoldState kept = state;
    state = FoldState{};
    return kept;
}

}  // namespace zentrail
