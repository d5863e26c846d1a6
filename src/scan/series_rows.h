// The rows of one code that a time series still needs, kept in time order:
// what the grid of an aligned read and the time-weighted sums walk through.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zentrail {

// One value row: nanoseconds since 1970-01-01 and its value.
struct SeriesPoint {
    int64_t time;
    double value;
};

// Rows ordered by time and, at one instant, in read order. Rows arrive in
// read order; rows earlier than the last one (out of time order in their
// file, or of another day than their file's) are appended as they come and
// put in their places, by merging the runs in order among the ones come since,
// only when the rows are next walked through: a file whose times run back
// and forth costs one sort, not a move of every later row per row. The rows
// before `head` are behind the walker and are dropped in blocks, so that a
// code's rows cost memory in proportion to the rows not yet walked through.
// A row never comes before a row walked past (the caller's frontier sees to
// that).
class SeriesRows {
public:
    void add(int64_t time, double value) {
        const bool in_order = sorted_to == rows.size() && (rows.empty() || time >= rows.back().time);
        rows.push_back(SeriesPoint{time, value});
        if (in_order) sorted_to = rows.size();
    }
    bool has_next() {
        _order();
        return head < rows.size();
    }
    const SeriesPoint& next() const { return rows[head]; }
    // The row i places after next; the caller checks has_at(i).
    bool has_at(std::size_t i) const { return head + i < rows.size(); }
    const SeriesPoint& at(std::size_t i) const { return rows[head + i]; }
    // Walks past the next row.
    void pass() {
        ++head;
        if (head >= COMPACT_AT && head * 2 >= rows.size()) {
            rows.erase(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(head));
            sorted_to -= head;
            head = 0;
        }
    }
    // The time of the last row held at or before `t`, or INT64_MIN.
    int64_t last_time_up_to(int64_t t) {
        _order();
        const auto first = rows.begin() + static_cast<std::ptrdiff_t>(head);
        const auto at = std::upper_bound(first, rows.end(), t, [](int64_t x, const SeriesPoint& p) { return x < p.time; });
        return at == first ? INT64_MIN : (at - 1)->time;
    }
    std::size_t held() const { return rows.size() - head; }
    // The rows not walked past, in order, as a range a walker reads
    // straight; pass_to() then walks past those before `at`.
    const SeriesPoint* first_held() {
        _order();
        return rows.data() + head;
    }
    const SeriesPoint* end_held() const { return rows.data() + rows.size(); }
    void pass_to(const SeriesPoint* at) {
        const auto passed = static_cast<std::size_t>(at - (rows.data() + head));
        head += passed;
        if (passed > 0) {
            --head;
            pass();
        }
    }

private:
    static constexpr std::size_t COMPACT_AT = 4096;
    struct Earlier {
        bool operator()(const SeriesPoint& a, const SeriesPoint& b) const { return a.time < b.time; }
    };
    void _order() {
        if (sorted_to == rows.size()) return;
        // The rows come since are mostly a few runs already in order (a row
        // of another day, then the file's own rows): the runs are merged
        // pairwise, which costs a pass per halving of the runs, not a sort.
        // Merges are stable, and runs are in read order: rows of one
        // instant keep their read order.
        runs.assign(1, sorted_to);
        for (std::size_t i = sorted_to + 1; i < rows.size(); ++i) {
            if (rows[i].time < rows[i - 1].time) runs.push_back(i);
        }
        runs.push_back(rows.size());
        if (runs.size() * 16 > rows.size() - sorted_to) {
            // Rows in many short runs (times back and forth): one sort
            // costs less than merges of short runs, each with its buffer.
            std::stable_sort(_at(sorted_to), rows.end(), Earlier{});
            runs.resize(2);
        }
        while (runs.size() > 2) {
            std::size_t kept = 1;
            std::size_t k = 0;
            for (; k + 2 < runs.size(); k += 2) {
                std::inplace_merge(_at(runs[k]), _at(runs[k + 1]), _at(runs[k + 2]), Earlier{});
                runs[kept++] = runs[k + 2];
            }
            if (k + 1 < runs.size()) runs[kept++] = runs.back();  // an odd run out, merged next round
            runs.resize(kept);
        }
        // Rows of the sorted part stay before later-read rows of their instant.
        std::inplace_merge(_at(head), _at(sorted_to), rows.end(), Earlier{});
        sorted_to = rows.size();
    }
    std::vector<SeriesPoint>::iterator _at(std::size_t i) { return rows.begin() + static_cast<std::ptrdiff_t>(i); }

    std::vector<SeriesPoint> rows;
    std::size_t head = 0;
    std::size_t sorted_to = 0;  // rows[head, sorted_to) are in order
    std::vector<std::size_t> runs;  // _order's run starts, kept for their memory
};

}  // namespace zentrail
