#include "time/calendar.h"

namespace zentrail {

const int32_t day_sum_tab[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

bool is_leap_year(int32_t year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

void set_days_from_origin(int32_t days, int32_t* year, int32_t* month, int32_t* day) {
    // No caller passes a negative day number (timestamps are unsigned); a
    // negative one is clamped to the origin so that the result stays a date.
    if (days < 0) days = 0;
    int32_t n = days + 1;
    int32_t q = days / 366;  // never more than the whole years passed
    int32_t y = 2000 + q;
    int32_t b = n - 365 * q - (q + 3) / 4;
    if (q > 0) b += (q - 1) / 100 - (q - 1) / 400;
    bool leap = is_leap_year(y);
    while (b > (leap ? 366 : 365)) {
        b -= leap ? 366 : 365;
        ++y;
        leap = is_leap_year(y);
    }
    int32_t c = 12;
    int32_t t = 0;
    for (; c >= 1; --c) {
        t = day_sum_tab[c - 1] + ((c > 2 && leap) ? 1 : 0);
        if (t < b) break;
    }
    *year = y;
    *month = c;
    *day = b - t;
}

void decode_date(uint64_t ns, int32_t* year, int32_t* month, int32_t* day) {
    set_days_from_origin(static_cast<int32_t>(ns / NS_PER_DAY), year, month, day);
}

void decode_time(uint64_t ns, int32_t* hour, int32_t* minute, int32_t* second, int32_t* nanos) {
    *hour = static_cast<int32_t>(ns / NS_PER_HOUR);
    uint64_t r = ns % NS_PER_HOUR;
    *minute = static_cast<int32_t>(r / NS_PER_MINUTE);
    r %= NS_PER_MINUTE;
    *second = static_cast<int32_t>(r / NS_PER_SECOND);
    *nanos = static_cast<int32_t>(r % NS_PER_SECOND);
}

void decode_timestamp(ADATETIME* out, const GTSTAMP* in) {
    decode_date(in->ns, &out->year, &out->month, &out->day);
    decode_time(in->ns % NS_PER_DAY, &out->hour, &out->minute, &out->second, &out->nanos);
}

void civil_from_unix_days(int64_t days, int64_t* year, int* month, int* day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t of_era = days - era * 146097;
    const int64_t year_of_era = (of_era - of_era / 1460 + of_era / 36524 - of_era / 146096) / 365;
    const int64_t of_year = of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int64_t shifted_month = (5 * of_year + 2) / 153;
    *day = static_cast<int>(of_year - (153 * shifted_month + 2) / 5 + 1);
    *month = static_cast<int>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
    *year = year_of_era + era * 400 + (*month <= 2);
}

}  // namespace zentrail
