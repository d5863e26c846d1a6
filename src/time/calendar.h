// Archive timestamps: nanoseconds since 2000-01-01 00:00:00 and their
// breakdown on the proleptic Gregorian calendar (no zones, no leap seconds).
#pragma once

#include <cstdint>

namespace zentrail {

constexpr uint64_t NS_PER_SECOND = 1000000000ULL;
constexpr uint64_t NS_PER_MINUTE = 60ULL * NS_PER_SECOND;
constexpr uint64_t NS_PER_HOUR = 60ULL * NS_PER_MINUTE;
constexpr uint64_t NS_PER_DAY = 24ULL * NS_PER_HOUR;

struct GTSTAMP {
    uint64_t ns;
};

struct ADATETIME {
    int32_t year;
    int32_t month;
    int32_t day;
    int32_t hour;
    int32_t minute;
    int32_t second;
    int32_t nanos;
};

// Days before the first of each month in a common year.
extern const int32_t day_sum_tab[12];

// Inline: every record's timestamp is made with them.
inline uint64_t code_date(int32_t days) { return static_cast<uint64_t>(static_cast<int64_t>(days)) * NS_PER_DAY; }
inline uint64_t code_time(uint16_t high, uint32_t low) { return (uint64_t{high} << 32) | low; }
bool is_leap_year(int32_t year);
// Valid for 0 <= days <= 213503, the whole range of GTSTAMP.
void set_days_from_origin(int32_t days, int32_t* year, int32_t* month, int32_t* day);
void decode_date(uint64_t ns, int32_t* year, int32_t* month, int32_t* day);
void decode_time(uint64_t ns, int32_t* hour, int32_t* minute, int32_t* second, int32_t* nanos);
void decode_timestamp(ADATETIME* out, const GTSTAMP* in);
// The civil date of any count of days since 1970-01-01, before it too
// (proleptic Gregorian), for instants that leave the archive's range.
void civil_from_unix_days(int64_t days, int64_t* year, int* month, int* day);

}  // namespace zentrail
