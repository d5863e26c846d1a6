// A plain reference for time series, straight from the definitions: every
// row of a code kept, each grid instant and bucket worked out on its own.
// The aligner's and the time-weighted sums' tests and fuzz target check
// the engine against it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "scan/grid_aligner.h"
#include "scan/time_weighted.h"

namespace zentrail::reference {

// Rows in read order.
using Rows = std::vector<SeriesPoint>;

inline Rows time_ordered(Rows rows) {
    std::stable_sort(rows.begin(), rows.end(), [](const SeriesPoint& a, const SeriesPoint& b) { return a.time < b.time; });
    return rows;
}

// `rows` in time order (see time_ordered).
inline double aligned_value(const Rows& rows, const SeriesGrid& grid, int64_t t) {
    constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
    const SeriesPoint* before = nullptr;  // last at or before t (step), last before t (linear)
    const SeriesPoint* at = nullptr;
    const SeriesPoint* after = nullptr;
    for (const SeriesPoint& r : rows) {
        if (r.time < t || (!grid.linear && r.time == t)) before = &r;
        if (r.time == t) at = &r;
        if (r.time > t && after == nullptr) after = &r;
    }
    if (!grid.linear) {
        if (before == nullptr || (grid.max_gap >= 0 && t - before->time > grid.max_gap)) return NaN;
        return before->value;
    }
    if (at != nullptr) return at->value;
    if (before == nullptr || after == nullptr) return NaN;
    if (grid.max_gap >= 0 && after->time - before->time > grid.max_gap) return NaN;
    const double w = static_cast<double>(t - before->time) / static_cast<double>(after->time - before->time);
    return before->value + (after->value - before->value) * w;
}

// The instants of the rows a value at t came from, as GridAligner::emit
// writes them: (row, row after), INT64_MIN for none.
inline std::pair<int64_t, int64_t> aligned_rows(const Rows& rows, const SeriesGrid& grid, int64_t t) {
    if (std::isnan(aligned_value(rows, grid, t))) return {INT64_MIN, INT64_MIN};
    int64_t before = INT64_MIN, after = INT64_MIN;
    for (const SeriesPoint& r : rows) {
        if (r.time <= t) before = r.time;
        if (r.time > t && after == INT64_MIN) after = r.time;
    }
    if (!grid.linear || before == t) return {before, INT64_MIN};
    return {before, after};
}

struct Weighted {
    int64_t in_force_ns = 0;
    double weighted = 0;
};

// Per bucket, summed segment by segment in time order.
inline std::vector<Weighted> weighted(const Rows& read_order, const BucketSpan& span) {
    std::vector<Weighted> out(span.count);
    const Rows rows = time_ordered(read_order);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        int64_t to = i + 1 < rows.size() ? rows[i + 1].time : span.end + 1;
        if (span.max_gap >= 0) to = std::min<int64_t>(to, rows[i].time + span.max_gap);
        to = std::min<int64_t>(to, span.end + 1);
        for (int64_t t = std::max(rows[i].time, span.start); t < to;) {
            const uint32_t b = span.bucket_of(t);
            const int64_t bucket_end = b + 1 >= span.count ? span.end + 1 : std::min(span.end + 1, span.origin + int64_t{b + 1} * span.width);
            const int64_t until = std::min(to, bucket_end);
            out[b].in_force_ns += until - t;
            out[b].weighted += rows[i].value * static_cast<double>(until - t);
            t = until;
        }
    }
    return out;
}

}  // namespace zentrail::reference
