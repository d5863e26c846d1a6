// Time-weighted sums per code and time bucket: how long a value was in force
// in each bucket of a window, and the integral of the value over that time,
// from each code's rows in time order, summed as soon as each row's time in
// force is known.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>
#include <vector>

#include "scan/series_rows.h"

namespace zentrail {

// The time counted, [start, end], and its buckets, in nanoseconds since
// 1970-01-01: `count` buckets of `width` each from `origin` (at or before
// start; the last bucket takes every later instant).
struct BucketSpan {
    int64_t origin = 0;
    int64_t width = 1;
    uint32_t count = 1;
    int64_t start = 0;
    int64_t end = 0;
    int64_t max_gap = -1;  // a value is in force this long at most; negative: no limit
    // The buckets' first instants listed (ascending, the first at origin)
    // when their lengths vary (days of a zone); null: `width` each.
    std::shared_ptr<const std::vector<int64_t>> starts;

    uint32_t bucket_of(int64_t t) const {
        if (starts) {
            const auto k = std::upper_bound(starts->begin(), starts->end(), t) - starts->begin();
            return k <= 1 ? 0 : static_cast<uint32_t>(k - 1);
        }
        const uint64_t b = static_cast<uint64_t>(t - origin) / static_cast<uint64_t>(width);
        return b < count ? static_cast<uint32_t>(b) : count - 1;
    }
    // The first instant after bucket b (past end for the last).
    int64_t end_of(uint32_t b) const {
        if (b + 1 >= count) return end + 1;
        if (starts) return std::min((*starts)[b + 1], end + 1);
        // Past end when (b + 1) * width reaches beyond it, without overflow.
        const uint64_t k = uint64_t{b} + 1;
        if (k > static_cast<uint64_t>(end - origin) / static_cast<uint64_t>(width)) return end + 1;
        return origin + static_cast<int64_t>(k * static_cast<uint64_t>(width));
    }
    int64_t start_of(uint32_t b) const { return starts ? (*starts)[b] : origin + static_cast<int64_t>(b) * width; }
};

// The time-weighted sums of one (code, bucket): nanoseconds with a value in
// force, and the sum of value x nanoseconds over them.
struct WeightedCell {
    uint32_t bucket;
    int64_t in_force_ns;
    double weighted;
};

// A value is in force from its row's time until the next row of its code
// (in time order; of several rows at one instant the last in read order
// holds), or until the window's end plus 1 ns for the last, for at most
// max_gap; only the part inside [start, end] counts. Rows are given as for
// GridAligner: the one in force at the window's start first, then the rows
// after it in read order.
class TimeWeighted {
public:
    TimeWeighted(const BucketSpan& span, std::size_t columns);

    SeriesRows& rows_of(std::size_t column) { return columns[column].rows; }
    void set_last_time(std::size_t column, int64_t t) { columns[column].last_time = t; }
    std::size_t column_count() const { return columns.size(); }

    // Sums every time in force that is settled when no unread row lies
    // before `frontier` (INT64_MAX: every row is read).
    void advance(int64_t frontier);
    // Column j's cells, in bucket order, buckets with time in force only.
    const std::vector<WeightedCell>& cells_of(std::size_t column) const { return columns[column].cells; }

private:
    struct Column {
        SeriesRows rows;
        SeriesPoint current{0, 0};  // the row whose time in force is not summed yet
        bool has_current = false;
        int64_t last_time = INT64_MAX;
        std::vector<WeightedCell> cells;
    };
    // The end of the current row's time in force when nothing else ends it.
    int64_t _cap(const SeriesPoint& row) const;
    void _sum(Column& column, int64_t from, int64_t to, double value);

    BucketSpan span;
    std::vector<Column> columns;
};

}  // namespace zentrail
