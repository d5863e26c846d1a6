#include "time/bound.h"

#include <cstdio>
#include <cstring>

#include "time/calendar.h"

namespace zentrail {

namespace {

__extension__ using Wide = __int128;  // holds any instant of years 1 to 9999 in nanoseconds

constexpr int32_t DAYS_IN_MONTH[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

int32_t days_in_month(int32_t year, int32_t month) {
    return month == 2 && is_leap_year(year) ? 29 : DAYS_IN_MONTH[month - 1];
}

// Reads exactly `width` ASCII digits at text[*at]; false when any is not one.
bool digits(const char* text, std::size_t* at, int width, int64_t* value) {
    int64_t v = 0;
    for (int i = 0; i < width; ++i) {
        const char c = text[*at + static_cast<std::size_t>(i)];
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    *at += static_cast<std::size_t>(width);
    *value = v;
    return true;
}

bool literal(const char* text, std::size_t* at, char expected) {
    if (text[*at] != expected) return false;
    ++*at;
    return true;
}

Wide instant_of(const BoundSpec& b) {
    return Wide{days_from_origin(b.year, b.month, b.day)} * static_cast<Wide>(NS_PER_DAY) + b.ns_of_day;
}

}  // namespace

int64_t days_from_origin(int32_t year, int32_t month, int32_t day) {
    // Counted from 0000-03-01, so that a leap day ends its year.
    const int64_t y = int64_t{year} - (month <= 2 ? 1 : 0);
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t year_of_era = y - era * 400;
    const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    constexpr int64_t ORIGIN = 730425;  // 2000-01-01 on this count
    return era * 146097 + day_of_era - ORIGIN;
}

bool is_valid_bound(const BoundSpec& b) {
    if (b.year < 1 || b.year > 9999 || b.month < 1 || b.month > 12) return false;
    if (b.day < 1 || b.day > days_in_month(b.year, b.month)) return false;
    if (b.ns_of_day < 0 || b.ns_of_day >= static_cast<int64_t>(NS_PER_DAY)) return false;
    return b.unit_ns >= 1 && b.unit_ns <= static_cast<int64_t>(NS_PER_DAY);
}

std::optional<BoundSpec> parse_bound(const char* text) {
    std::size_t at = 0;
    int64_t year, month, day, hour = 0, minute = 0, second = 0, fraction = 0;
    if (!digits(text, &at, 4, &year) || !literal(text, &at, '-') || !digits(text, &at, 2, &month) ||
        !literal(text, &at, '-') || !digits(text, &at, 2, &day)) {
        return std::nullopt;
    }
    int64_t unit = static_cast<int64_t>(NS_PER_DAY);
    if (text[at] == 'T' || text[at] == ' ') {
        ++at;
        if (!digits(text, &at, 2, &hour) || !literal(text, &at, ':') || !digits(text, &at, 2, &minute)) {
            return std::nullopt;
        }
        unit = static_cast<int64_t>(NS_PER_MINUTE);
        if (text[at] == ':') {
            ++at;
            if (!digits(text, &at, 2, &second)) return std::nullopt;
            unit = static_cast<int64_t>(NS_PER_SECOND);
            if (text[at] == '.') {
                ++at;
                int places = 0;
                while (places < 9 && text[at] >= '0' && text[at] <= '9') {
                    fraction = fraction * 10 + (text[at++] - '0');
                    ++places;
                }
                if (places == 0) return std::nullopt;
                for (int i = places; i < 9; ++i) fraction *= 10;
                unit = 1;
            }
        }
    }
    if (text[at] != '\0' || hour > 23 || minute > 59 || second > 59) return std::nullopt;
    const int64_t ns_of_day =
        hour * static_cast<int64_t>(NS_PER_HOUR) + minute * static_cast<int64_t>(NS_PER_MINUTE) +
        second * static_cast<int64_t>(NS_PER_SECOND) + fraction;
    const BoundSpec bound{static_cast<int32_t>(year), static_cast<int32_t>(month), static_cast<int32_t>(day),
                          ns_of_day, unit};
    if (!is_valid_bound(bound)) return std::nullopt;
    return bound;
}

InstantWindow instant_window(const BoundSpec& start, const BoundSpec& end) {
    constexpr Wide LAST_ARCHIVE_NS = static_cast<Wide>(UINT64_MAX);
    const Wide first = instant_of(start);
    const Wide last = instant_of(end) + end.unit_ns - 1;
    InstantWindow window;
    if (first > last || last < 0 || first > LAST_ARCHIVE_NS) return window;
    window.open = true;
    window.first_ns = first < 0 ? 0 : static_cast<uint64_t>(first);
    window.last_ns = last > LAST_ARCHIVE_NS ? UINT64_MAX : static_cast<uint64_t>(last);
    return window;
}

WideNs clipped_lead_ns(const BoundSpec& start) {
    const Wide first = instant_of(start);
    return first < 0 ? static_cast<WideNs>(-first) : 0;
}

std::string discovery_text(const BoundSpec& bound, bool is_end) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %s", bound.year, bound.month, bound.day,
                  is_end ? "23:59:59" : "00:00:00");
    return text;
}

}  // namespace zentrail
