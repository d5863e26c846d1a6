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
// read order; a row earlier than the last one (out of time order in its
// file, or of another day than its file's) is put in its place, after the
// rows of its instant already held. The rows before `head` are behind the
// consumer: they are dropped in blocks, so that holding a code's rows costs
// memory in proportion to the rows not yet walked through.
class SeriesRows {
public:
    void add(int64_t time, double value) {
        if (rows.empty() || time >= rows.back().time) {
            rows.push_back(SeriesPoint{time, value});
            return;
        }
        const auto at = std::upper_bound(rows.begin() + static_cast<std::ptrdiff_t>(head), rows.end(), time,
                                         [](int64_t t, const SeriesPoint& p) { return t < p.time; });
        rows.insert(at, SeriesPoint{time, value});
    }
    bool has_next() const { return head < rows.size(); }
    const SeriesPoint& next() const { return rows[head]; }
    // The row after next (i rows on); the caller checks head + i < size.
    bool has_at(std::size_t i) const { return head + i < rows.size(); }
    const SeriesPoint& at(std::size_t i) const { return rows[head + i]; }
    // Walks past the next row.
    void pass() {
        ++head;
        if (head >= COMPACT_AT && head * 2 >= rows.size()) {
            rows.erase(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(head));
            head = 0;
        }
    }
    // The time of the last row held at or before `t`, or INT64_MIN.
    int64_t last_time_up_to(int64_t t) const {
        const auto at = std::upper_bound(rows.begin() + static_cast<std::ptrdiff_t>(head), rows.end(), t,
                                         [](int64_t x, const SeriesPoint& p) { return x < p.time; });
        return at == rows.begin() + static_cast<std::ptrdiff_t>(head) ? INT64_MIN : (at - 1)->time;
    }
    std::size_t held() const { return rows.size() - head; }

private:
    static constexpr std::size_t COMPACT_AT = 4096;
    std::vector<SeriesPoint> rows;
    std::size_t head = 0;
};

}  // namespace zentrail
