// A date-time bound parsed from free text, compared at whole seconds.
#pragma once

#include <cstdint>

#include "time/calendar.h"

namespace zentrail {

// A four-digit year and five two-digit numbers, any one character between
// (ECMAScript syntax); the parser finds its leftmost match.
constexpr const char* DATETIME_PATTERN =
    "([0-9]{4}).([0-9]{2}).([0-9]{2}).([0-9]{2}).([0-9]{2}).([0-9]{2})";

class DateTime {
public:
    DateTime() = default;
    // The leftmost date-time in `text` (never null); invalid when there is none.
    explicit DateTime(const char* text);

    bool isValid() const { return valid; }
    // True when the bound is valid and lies at or before / at or after `t`;
    // t.nanos takes no part. No calendar rule applies to either side.
    bool lte(ADATETIME t) const { return valid && _compare(t) <= 0; }
    bool gte(ADATETIME t) const { return valid && _compare(t) >= 0; }

    bool valid = false;
    int32_t year = 0;
    int32_t month = 0;
    int32_t day = 0;
    int32_t hour = 0;
    int32_t minute = 0;
    int32_t second = 0;

private:
    // Sign of (bound - t) over the six fields, most significant first.
    int _compare(const ADATETIME& t) const;
};

}  // namespace zentrail
