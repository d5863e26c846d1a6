// A time-weighted read: per code and bucket, the seconds a value was in
// force and its integral over them, summed as the rows are read.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "scan/overview_sink.h"
#include "scan/series_feed.h"
#include "scan/table_arrow.h"
#include "scan/time_weighted.h"

namespace zentrail {

class WeightedRead {
public:
    // `span`'s window is the request's from its start.
    WeightedRead(SeriesRequest request, const BucketSpan& span);
    // Also sums up the rows of the paths from `counted_from` on (the plain
    // overview's files, last in read order) into the overview of `grid`, as
    // an overview of those files alone does: one read for both. The
    // request must hand on the rows at the window's start (rows_from_start).
    void count_rows(const OverviewGrid& grid, std::size_t counted_from);

    enum class Next { Waiting, Finished };
    // Reads on, waiting at most `wait`; Finished once every row is summed.
    Next next(std::chrono::milliseconds wait);
    // The columns signal_id, element, bucket (its first instant), in_force
    // (seconds), integral (value x seconds), one row per (code, bucket)
    // with time in force, in that order. After Finished.
    std::vector<OwnedColumn> columns() const;
    std::size_t rows() const;
    // The overview's columns (see OverviewResult::finish), after Finished
    // and count_rows; once.
    std::vector<OwnedColumn> take_overview();

    int64_t bytes_read() const { return feed.bytes_read(); }
    int64_t bytes_total() const { return feed.bytes_total(); }

private:
    BucketSpan span;
    SeriesFeed feed;
    std::unique_ptr<TimeWeighted> sums;
    int64_t seen_frontier = INT64_MIN;
    // The overview of the rows, when counted: a table per file, merged in
    // file order, as the overview of the files does it.
    struct Counted {
        OverviewGrid grid;
        std::size_t from;
        OverviewTable table;
        OverviewSink sink;
        OverviewResult result;
        std::size_t file = SIZE_MAX;
        Counted(const OverviewGrid& grid, std::size_t from) : grid(grid), from(from), sink(grid, &table) {}
        void end_file() {
            sink.flush();
            result.merge_later(table);
            table = OverviewTable();
        }
    };
    std::unique_ptr<Counted> counted;
};

}  // namespace zentrail
