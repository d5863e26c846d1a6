// An aligned read: the codes' values on a common grid, made on the read's
// threads and handed on in batches of grid rows as soon as each is settled.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "scan/damaged_file.h"
#include "scan/grid_aligner.h"
#include "scan/series_feed.h"

namespace zentrail {

// Grid rows: their instants (int64 ns since 1970-01-01) and one column of
// float64 values per code, in the order of the read's columns; held as
// bytes, so that a consumer takes the columns over as they are.
struct AlignedBatch {
    std::vector<uint8_t> times;
    std::vector<std::vector<uint8_t>> values;
    // With the grid's row_times: per column, the int64 instants of each
    // value's row and of the row after it (see GridAligner::emit); else empty.
    std::vector<std::vector<uint8_t>> row_times;
    std::vector<std::vector<uint8_t>> next_row_times;
    std::size_t rows() const { return times.size() / sizeof(int64_t); }
};

// Where grid rows are written in place: the times, and per column its values
// (and with the grid's row_times its rows' instants), each at the next row.
struct GridTarget {
    int64_t* times = nullptr;
    std::vector<double*> values;
    std::vector<int64_t*> row_times;
    std::vector<int64_t*> next_row_times;
};

class AlignedRead {
public:
    AlignedRead(SeriesRequest request, const SeriesGrid& grid);

    // The passes before the rows, waiting at most `wait`: true once done,
    // when columns() is known.
    bool prepare(std::chrono::milliseconds wait);
    const CodeColumns& columns() const { return feed.columns(); }
    // The Arrow format of the grid's instants (the zone's, when read in one).
    const char* time_format() const { return time_format_; }

    enum class Next { Ready, Waiting, Finished };
    // The next batch of at most batch_rows grid rows into *out.
    Next next(AlignedBatch* out, std::chrono::milliseconds wait);
    // The next grid rows settled written into `at`, each column moved on
    // past them: at least `least` (fewer only at the end) and at most
    // `most`; *written tells how many. The columns of `at` are known after
    // prepare(). The grid's row_times are written where `at` has columns for them.
    Next next_into(GridTarget* at, std::size_t least, std::size_t most, std::size_t* written,
                   std::chrono::milliseconds wait);
    // The most grid rows of a batch of next() (wide grids' batches are shorter).
    std::size_t batch_rows_of() const { return batch_rows; }
    uint64_t grid_count() const { return grid.grid_count(); }

    int64_t bytes_read() const { return feed.bytes_read(); }
    int64_t bytes_total() const { return feed.bytes_total(); }
    // None: a damaged file stops a series read, whose values would
    // otherwise be carried on across the rows it lost.
    std::vector<DamagedFile> take_damaged() { return {}; }

private:
    // Reads on until at least `least` grid rows are settled (any, once
    // every row is read): Ready with them in `ready`.
    Next _settle(uint64_t least, std::chrono::milliseconds wait);
    void _emit(std::size_t n, AlignedBatch* out);

    SeriesGrid grid;
    const char* time_format_;
    std::size_t batch_rows;
    SeriesFeed feed;
    std::unique_ptr<GridAligner> aligner;
    bool rows_done = false;
    int64_t seen_frontier = INT64_MIN;
    uint64_t ready = 0;  // grid rows settled at seen_frontier, not yet handed on
};

}  // namespace zentrail
