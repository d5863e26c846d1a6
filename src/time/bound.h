// The bounds of a columnar read's window: a point in time stated to some
// precision, and the closed range of archive timestamps two of them span.
//
// Texts are "YYYY-MM-DD", optionally followed by "T" or one space and
// "hh:mm", optionally ":ss", optionally "." and 1 to 9 digits of fraction;
// nothing before or after, no zone, every field in range. A start is the
// instant it states; an end runs to the end of its stated precision (a date:
// the whole day; "hh:mm": the whole minute; "hh:mm:ss": the whole second; a
// fraction: exactly that instant).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zentrail {

struct BoundSpec {
    int32_t year;
    int32_t month;
    int32_t day;
    int64_t ns_of_day;  // 0 .. NS_PER_DAY - 1
    int64_t unit_ns;    // the stated precision: 1 (exact) .. NS_PER_DAY (a whole day)
};

// Whether the fields are a real calendar date (years 1 to 9999), a time of
// day and a precision of 1 ns to a day.
bool is_valid_bound(const BoundSpec& bound);

// The bound a text states, or nothing when the text is not of the form above.
std::optional<BoundSpec> parse_bound(const char* text);

// The closed range of archive timestamps (nanoseconds since 2000-01-01)
// from `start` to the end of `end`'s precision; closed when it holds none.
struct InstantWindow {
    bool open = false;
    uint64_t first_ns = 0;
    uint64_t last_ns = 0;
};
InstantWindow instant_window(const BoundSpec& start, const BoundSpec& end);

// How far `start` lies before the first instant of its window: more than 0
// only for a start before 2000-01-01, where the window begins at the
// archive's first instant. Years 1 to 9999 need more than 64 bits.
__extension__ typedef unsigned __int128 WideNs;
WideNs clipped_lead_ns(const BoundSpec& start);

// The texts that discovery compares file-name days with, so that a file is
// taken when its day (as "YYYY-MM-DD") lies between the bounds' days:
// "YYYY-MM-DD 00:00:00" for a start, "YYYY-MM-DD 23:59:59" for an end.
std::string discovery_text(const BoundSpec& bound, bool is_end);

// Days from 2000-01-01 to the given date of the proleptic Gregorian calendar.
int64_t days_from_origin(int32_t year, int32_t month, int32_t day);

}  // namespace zentrail
