#include "scan/time_weighted.h"

#include <algorithm>

namespace zentrail {

TimeWeighted::TimeWeighted(const BucketSpan& span, std::size_t column_count) : span(span), columns(column_count) {}

int64_t TimeWeighted::_cap(const SeriesPoint& row) const {
    const int64_t after_end = span.end + 1;
    if (span.max_gap < 0 || row.time > after_end - span.max_gap) return after_end;
    return row.time + span.max_gap;
}

void TimeWeighted::advance(int64_t frontier) {
    for (Column& c : columns) {
        for (;;) {
            if (c.rows.has_next() && c.rows.next().time <= frontier) {
                // The next row is settled: no unread row comes before it.
                const SeriesPoint next = c.rows.next();
                if (c.has_current) _sum(c, c.current.time, std::min(next.time, _cap(c.current)), c.current.value);
                c.current = next;
                c.has_current = true;
                c.rows.pass();
                continue;
            }
            if (c.has_current && (_cap(c.current) <= frontier || c.last_time < frontier || frontier == INT64_MAX)) {
                // Nothing still to come can end the current value earlier.
                const int64_t to = c.rows.has_next() ? std::min(c.rows.next().time, _cap(c.current)) : _cap(c.current);
                _sum(c, c.current.time, to, c.current.value);
                c.has_current = false;
            }
            break;
        }
    }
}

void TimeWeighted::_sum(Column& c, int64_t from, int64_t to, double value) {
    from = std::max(from, span.start);
    to = std::min(to, span.end + 1);
    while (from < to) {
        const uint32_t b = span.bucket_of(from);
        const int64_t bucket_end = span.end_of(b);
        const int64_t until = std::min(to, bucket_end);
        const int64_t ns = until - from;
        if (c.cells.empty() || c.cells.back().bucket != b) c.cells.push_back(WeightedCell{b, 0, 0.0});
        c.cells.back().in_force_ns += ns;
        c.cells.back().weighted += value * static_cast<double>(ns);
        from = until;
    }
}

}  // namespace zentrail
