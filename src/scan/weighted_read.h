// A time-weighted read: per code and bucket, the seconds a value was in
// force and its integral over them, summed as the rows are read.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "scan/series_feed.h"
#include "scan/table_arrow.h"
#include "scan/time_weighted.h"

namespace zentrail {

class WeightedRead {
public:
    // `span`'s window is the request's from its start.
    WeightedRead(SeriesRequest request, const BucketSpan& span);

    enum class Next { Waiting, Finished };
    // Reads on, waiting at most `wait`; Finished once every row is summed.
    Next next(std::chrono::milliseconds wait);
    // The columns signal_id, element, bucket (its first instant), in_force
    // (seconds), integral (value x seconds), one row per (code, bucket)
    // with time in force, in that order. After Finished.
    std::vector<OwnedColumn> columns() const;
    std::size_t rows() const;

    int64_t bytes_read() const { return feed.bytes_read(); }
    int64_t bytes_total() const { return feed.bytes_total(); }

private:
    BucketSpan span;
    SeriesFeed feed;
    std::unique_ptr<TimeWeighted> sums;
    int64_t seen_frontier = INT64_MIN;
};

}  // namespace zentrail
