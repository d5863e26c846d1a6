#include "scan/grid_aligner.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zentrail {

uint64_t SeriesGrid::grid_rows_before(int64_t t) const {
    if (times) return static_cast<uint64_t>(std::lower_bound(times->begin(), times->end(), t) - times->begin());
    if (t <= start) return 0;
    const uint64_t span = static_cast<uint64_t>(t) - static_cast<uint64_t>(start) - 1;
    return std::min(span / static_cast<uint64_t>(every) + 1, grid_count());
}

GridAligner::GridAligner(const SeriesGrid& grid, std::size_t column_count)
    : grid(grid), columns(column_count), count(grid.grid_count()) {
    for (Column& column : columns) column.linear = grid.linear;
    any_linear = grid.linear && column_count > 0;
}

void GridAligner::set_linear(std::size_t column, bool linear) {
    columns[column].linear = linear;
    any_linear = std::any_of(columns.begin(), columns.end(), [](const Column& c) { return c.linear; });
}

uint64_t GridAligner::settled(int64_t frontier) {
    uint64_t limit = grid.grid_rows_before(frontier);
    if (any_linear && frontier != INT64_MAX) {
        for (Column& column : columns) {
            if (limit <= next_row) break;
            if (!column.linear || column.last_time < frontier) continue;
            // Instants up to the last row held at or before the frontier
            // have their next row (or a row at the instant itself) settled.
            const int64_t known = column.rows.last_time_up_to(frontier);
            // With no row held up to the frontier, an instant before it has
            // no row of its own and the row before it is the last walked
            // past: with none, or with every later row too far from it, the
            // value is NaN whatever comes next.
            if (known == INT64_MIN &&
                (!column.has_prev || (grid.max_gap >= 0 && frontier - column.prev.time > grid.max_gap))) {
                continue;
            }
            limit = std::min(limit, known == INT64_MIN ? next_row : grid.grid_rows_before(known + 1));
        }
    }
    return limit > next_row ? limit - next_row : 0;
}

void GridAligner::emit(std::size_t n, int64_t* times, double* const* values, int64_t* const* rows,
                       int64_t* const* nexts) {
    for (std::size_t i = 0; i < n; ++i) times[i] = grid.grid_time(next_row + i);
    // The walk without source times is compiled apart: an ordinary grid
    // takes not one branch more for them.
    for (std::size_t j = 0; j < columns.size(); ++j) {
        if (rows != nullptr) {
            if (columns[j].linear) {
                _emit_linear<true>(columns[j], n, values[j], rows[j], nexts[j]);
            } else {
                _emit_step<true>(columns[j], n, values[j], rows[j], nexts[j]);
            }
        } else if (columns[j].linear) {
            _emit_linear<false>(columns[j], n, values[j], nullptr, nullptr);
        } else {
            _emit_step<false>(columns[j], n, values[j], nullptr, nullptr);
        }
    }
    next_row += n;
}


template <bool Sources>
void GridAligner::_emit_step(Column& c, std::size_t n, double* out, int64_t* rows, int64_t* nexts) const {
    constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
    if constexpr (Sources) std::fill(nexts, nexts + n, NO_ROW_TIME);  // a step has no row after
    // A value holds from its row to the next row: whole runs of grid rows
    // take it at once (the rows are mostly far sparser than the grid).
    const SeriesPoint* p = c.rows.first_held();
    const SeriesPoint* const end = c.rows.end_held();
    std::size_t i = 0;
    while (i < n) {
        const int64_t t = grid.grid_time(next_row + i);
        while (p != end && p->time <= t) {
            c.prev = *p++;
            c.has_prev = true;
        }
        // The grid rows before the next row's instant keep this value.
        const std::size_t run_end = p == end ? n : _rows_before(p->time, n);
        std::size_t valid_end = c.has_prev ? run_end : i;
        if (c.has_prev && grid.max_gap >= 0) {
            // Up to the last grid row within max_gap of the row.
            const int64_t until = c.prev.time > INT64_MAX - grid.max_gap ? INT64_MAX : c.prev.time + grid.max_gap;
            valid_end = std::min(valid_end, until == INT64_MAX ? n : _rows_before(until + 1, n));
            valid_end = std::max(valid_end, i);
        }
        std::fill(out + i, out + valid_end, c.prev.value);
        std::fill(out + valid_end, out + run_end, NaN);
        if constexpr (Sources) {
            std::fill(rows + i, rows + valid_end, c.prev.time);
            std::fill(rows + valid_end, rows + run_end, NO_ROW_TIME);
        }
        i = run_end;
    }
    c.rows.pass_to(p);
}

template <bool Sources>
void GridAligner::_emit_linear(Column& c, std::size_t n, double* out, int64_t* rows, int64_t* nexts) const {
    constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < n; ++i) {
        if constexpr (Sources) rows[i] = nexts[i] = NO_ROW_TIME;
        const int64_t t = grid.grid_time(next_row + i);
        while (c.rows.has_next() && c.rows.next().time < t) {
            c.prev = c.rows.next();
            c.has_prev = true;
            c.rows.pass();
        }
        if (c.rows.has_next() && c.rows.next().time == t) {
            // Rows at the instant itself: the last of them in read order.
            std::size_t k = 0;
            while (c.rows.has_at(k + 1) && c.rows.at(k + 1).time == t) ++k;
            out[i] = c.rows.at(k).value;
            if constexpr (Sources) rows[i] = t;
            continue;
        }
        if (!c.has_prev || !c.rows.has_next()) {
            out[i] = NaN;
            continue;
        }
        const SeriesPoint& a = c.prev;
        const SeriesPoint& b = c.rows.next();
        if (grid.max_gap >= 0 && b.time - a.time > grid.max_gap) {
            out[i] = NaN;
            continue;
        }
        const double w = static_cast<double>(t - a.time) / static_cast<double>(b.time - a.time);
        out[i] = a.value + (b.value - a.value) * w;
        if constexpr (Sources) {
            rows[i] = a.time;
            nexts[i] = b.time;
        }
    }
}

}  // namespace zentrail
