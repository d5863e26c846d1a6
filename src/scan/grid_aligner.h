// The values of codes on a common time grid: per grid instant, the value in
// force (steps) or the value interpolated between the rows around it,
// streamed grid row by grid row as the rows before each instant are known.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <memory>
#include <vector>

#include "scan/series_rows.h"

namespace zentrail {

// The window and grid of a time series, in nanoseconds since 1970-01-01:
// instants start + k * every for k = 0, 1, ... up to end, or the instants
// `times` lists (ascending, within [start, end]) when it lists any: a grid
// of local days, whose lengths vary, or of instants asked for one by one.
struct SeriesGrid {
    int64_t start = 0;
    int64_t end = 0;  // the window's last instant, start <= end
    int64_t every = 1;
    bool linear = false;  // every code interpolated
    // Unless linear: the codes interpolated (ascending); the others step.
    std::vector<int32_t> linear_codes;
    int64_t max_gap = -1;  // negative: no limit
    std::shared_ptr<const std::vector<int64_t>> times;  // null: the regular grid
    // Also hand out, per cell, the instant of the row its value came from
    // (and for an interpolated value the row after it): a value at an
    // instant is then traceable to its rows. Off for ordinary grids, which
    // pay nothing for it.
    bool row_times = false;

    bool linear_code(int32_t code) const {
        return linear || std::binary_search(linear_codes.begin(), linear_codes.end(), code);
    }

    uint64_t grid_count() const {
        if (times) return times->size();
        return static_cast<uint64_t>(end - start) / static_cast<uint64_t>(every) + 1;
    }
    int64_t grid_time(uint64_t k) const {
        if (times) return (*times)[k];
        return start + static_cast<int64_t>(k * static_cast<uint64_t>(every));
    }
    // The grid rows whose instant lies before `t`.
    uint64_t grid_rows_before(int64_t t) const;
};

// Takes each code's rows (the one in force at the window's start first, then
// the later ones in read order) and hands on the grid rows once no row still
// to come can change them.
//
// A grid instant t is settled when every row still to come lies after it
// (the caller's frontier: the earliest instant an unread row may have); for
// linear interpolation each code also needs its first row after t, which is
// settled when it lies at or before the frontier or when the code has no
// rows left (its last instant, as the caller knows it, lies before the
// frontier).
class GridAligner {
public:
    // The source time of a cell without a row: NumPy's NaT.
    static constexpr int64_t NO_ROW_TIME = INT64_MIN;

    // Each column steps, or interpolates when the grid is linear; see set_linear.
    GridAligner(const SeriesGrid& grid, std::size_t columns);

    SeriesRows& rows_of(std::size_t column) { return columns[column].rows; }
    // Whether the column interpolates (a grid of both kinds), before any row.
    void set_linear(std::size_t column, bool linear);
    // The last instant a row of the column can have (INT64_MAX: unknown).
    void set_last_time(std::size_t column, int64_t t) { columns[column].last_time = t; }
    std::size_t column_count() const { return columns.size(); }

    // Grid rows settled beyond those handed on, when no unread row lies
    // before `frontier` (INT64_MAX: every row is read).
    uint64_t settled(int64_t frontier);
    // Writes the next `n` grid rows (n at most settled()): their instants
    // into times[0..n) and column j's values into values[j][0..n). With
    // `rows` and `nexts` (both or neither), column j's source rows too:
    // rows[j][i] the instant of the row the value came from (the one in
    // force, or the one before an interpolated instant; the instant itself
    // for a row there), nexts[j][i] the row after an interpolated instant;
    // NO_ROW_TIME where there is none.
    void emit(std::size_t n, int64_t* times, double* const* values, int64_t* const* rows = nullptr,
              int64_t* const* nexts = nullptr);
    uint64_t rows_emitted() const { return next_row; }
    uint64_t grid_count() const { return count; }

private:
    struct Column {
        SeriesRows rows;
        SeriesPoint prev{0, 0};  // the last row walked past
        bool has_prev = false;
        int64_t last_time = INT64_MAX;
        bool linear = false;
    };
    template <bool Sources>
    void _emit_step(Column& column, std::size_t n, double* out, int64_t* rows, int64_t* nexts) const;
    template <bool Sources>
    void _emit_linear(Column& column, std::size_t n, double* out, int64_t* rows, int64_t* nexts) const;
    // The grid rows from next_row before the one at or after instant t, within [0, n].
    std::size_t _rows_before(int64_t t, std::size_t n) const {
        const uint64_t k = grid.grid_rows_before(t);
        return k <= next_row ? 0 : std::min<uint64_t>(k - next_row, n);
    }

    SeriesGrid grid;
    std::vector<Column> columns;
    uint64_t count;
    uint64_t next_row = 0;
    bool any_linear = false;
};

}  // namespace zentrail
