// The aligner and the time-weighted sums against the plain reference, fed
// as the read feeds them: rows in read order, in pieces, with a frontier.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "series_reference.h"

namespace zentrail {
namespace {

struct Case {
    std::vector<reference::Rows> columns;  // rows in read order; the first may lie at or before start
    std::vector<int64_t> frontiers;        // after each piece: the earliest instant still to come
    std::vector<std::vector<std::pair<std::size_t, SeriesPoint>>> pieces;
};

// Rows of `columns` codes around [0, 100], some out of order and at one
// instant, handed on in file-like pieces whose frontier is exact.
Case random_case(std::mt19937& rng, std::size_t columns) {
    Case c;
    c.columns.resize(columns);
    std::vector<std::pair<std::size_t, SeriesPoint>> all;
    std::uniform_int_distribution<int> time(-20, 120), value(-5, 5), kind(0, 9);
    for (std::size_t j = 0; j < columns; ++j) {
        const int n = std::uniform_int_distribution<int>(0, 12)(rng);
        int64_t t = time(rng);
        for (int i = 0; i < n; ++i) {
            if (kind(rng) > 1) t += std::uniform_int_distribution<int>(0, 15)(rng);
            else t = time(rng);  // out of order now and then, or at one instant
            all.push_back({j, SeriesPoint{t, static_cast<double>(value(rng))}});
        }
    }
    std::shuffle(all.begin(), all.end(), rng);
    std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.second.time / 40 < b.second.time / 40; });
    // The one in force at start 0 first, then the later rows; the earlier
    // ones go only to the reference (the read drops them in its passes).
    std::vector<SeriesPoint> in_force(columns, SeriesPoint{INT64_MIN, 0});
    for (const auto& [j, p] : all) {
        c.columns[j].push_back(p);
        if (p.time <= 0 && p.time >= in_force[j].time) in_force[j] = p;
    }
    std::vector<std::pair<std::size_t, SeriesPoint>> later;
    for (const auto& row : all) {
        if (row.second.time > 0) later.push_back(row);
    }
    c.pieces.emplace_back();
    for (std::size_t j = 0; j < columns; ++j) {
        if (in_force[j].time != INT64_MIN) c.pieces.back().push_back({j, in_force[j]});
    }
    for (std::size_t i = 0; i < later.size();) {
        const std::size_t n = std::min<std::size_t>(later.size() - i, std::uniform_int_distribution<int>(1, 6)(rng));
        c.pieces.emplace_back(later.begin() + static_cast<std::ptrdiff_t>(i), later.begin() + static_cast<std::ptrdiff_t>(i + n));
        i += n;
    }
    for (std::size_t p = 0; p < c.pieces.size(); ++p) {
        int64_t f = INT64_MAX;
        for (std::size_t q = p + 1; q < c.pieces.size(); ++q) {
            for (const auto& row : c.pieces[q]) f = std::min(f, row.second.time);
        }
        c.frontiers.push_back(f);
    }
    return c;
}

int64_t last_time_of(const reference::Rows& rows) {
    int64_t t = INT64_MIN;
    for (const SeriesPoint& p : rows) t = std::max(t, p.time);
    return t;
}

void expect_same(double expected, double got, const char* what, int64_t t, std::size_t j) {
    if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(got)) << what << " at " << t << " column " << j << ": " << got;
    } else {
        EXPECT_EQ(expected, got) << what << " at " << t << " column " << j;
    }
}

// Rows walked through come in time order and, at one instant, in read
// order, however many runs they arrive in, walked in pieces.
TEST(SeriesRows, WalksRowsInTimeThenReadOrder) {
    std::mt19937 rng(11);
    for (int round = 0; round < 2000; ++round) {
        const int n = std::uniform_int_distribution<int>(0, 300)(rng);
        const int back = std::uniform_int_distribution<int>(0, 20)(rng);  // in 100: a row out of order
        std::vector<SeriesPoint> all;
        int64_t t = 0;
        for (int i = 0; i < n; ++i) {
            t = std::uniform_int_distribution<int>(0, 99)(rng) < back ? std::uniform_int_distribution<int>(0, 50)(rng)
                                                                       : t + std::uniform_int_distribution<int>(0, 2)(rng);
            all.push_back(SeriesPoint{t, static_cast<double>(i)});  // the value tells the read order
        }
        SeriesRows rows;
        std::vector<SeriesPoint> walked;
        std::size_t added = 0;
        while (added < all.size() || rows.has_next()) {
            const std::size_t piece = std::uniform_int_distribution<std::size_t>(1, 40)(rng);
            for (std::size_t k = 0; k < piece && added < all.size(); ++k, ++added) rows.add(all[added].time, all[added].value);
            // Only rows no later row can come before are walked past.
            int64_t frontier = INT64_MAX;
            for (std::size_t k = added; k < all.size(); ++k) frontier = std::min(frontier, all[k].time);
            while (rows.has_next() && rows.next().time < frontier) {
                walked.push_back(rows.next());
                rows.pass();
            }
        }
        std::vector<SeriesPoint> expected = all;
        std::stable_sort(expected.begin(), expected.end(), [](const SeriesPoint& a, const SeriesPoint& b) { return a.time < b.time; });
        ASSERT_EQ(walked.size(), expected.size()) << "round " << round;
        for (std::size_t k = 0; k < walked.size(); ++k) {
            ASSERT_EQ(walked[k].time, expected[k].time) << "round " << round << " row " << k;
            ASSERT_EQ(walked[k].value, expected[k].value) << "round " << round << " row " << k;
        }
    }
}

TEST(GridAligner, MatchesTheReferenceOnRandomRows) {
    std::mt19937 rng(7);
    for (int round = 0; round < 3000; ++round) {
        const std::size_t columns = std::uniform_int_distribution<int>(1, 3)(rng);
        const Case c = random_case(rng, columns);
        SeriesGrid grid;
        grid.start = 0;
        grid.end = std::uniform_int_distribution<int>(0, 100)(rng);
        grid.every = std::uniform_int_distribution<int>(1, 130)(rng);
        // Every fourth round a grid of both kinds: odd columns interpolate.
        const bool mixed = round % 4 == 3;
        grid.linear = round % 2 == 1 && !mixed;
        grid.max_gap = round % 3 == 0 ? -1 : std::uniform_int_distribution<int>(1, 30)(rng);
        GridAligner aligner(grid, columns);
        std::vector<SeriesGrid> kind_of(columns, grid);  // each column's kind, for the reference
        for (std::size_t j = 0; j < columns; ++j) {
            aligner.set_last_time(j, last_time_of(c.columns[j]));
            if (mixed) aligner.set_linear(j, j % 2 == 1);
            kind_of[j].linear = grid.linear || (mixed && j % 2 == 1);
        }
        // Every other round the rows' instants are handed out too.
        const bool sources = round % 5 < 2;
        std::vector<int64_t> times;
        std::vector<std::vector<double>> values(columns);
        std::vector<std::vector<int64_t>> rows(columns), nexts(columns);
        for (std::size_t p = 0; p < c.pieces.size(); ++p) {
            for (const auto& [j, row] : c.pieces[p]) aligner.rows_of(j).add(row.time, row.value);
            const uint64_t n = aligner.settled(c.frontiers[p]);
            if (n == 0) continue;
            const std::size_t at = times.size();
            times.resize(at + n);
            std::vector<double*> outs;
            std::vector<int64_t*> row_outs, next_outs;
            for (std::size_t j = 0; j < columns; ++j) {
                values[j].resize(at + n);
                rows[j].resize(at + n);
                nexts[j].resize(at + n);
                outs.push_back(values[j].data() + at);
                row_outs.push_back(rows[j].data() + at);
                next_outs.push_back(nexts[j].data() + at);
            }
            if (sources) {
                aligner.emit(n, times.data() + at, outs.data(), row_outs.data(), next_outs.data());
            } else {
                aligner.emit(n, times.data() + at, outs.data());
            }
        }
        ASSERT_EQ(times.size(), grid.grid_count()) << "round " << round;
        for (std::size_t k = 0; k < times.size(); ++k) {
            ASSERT_EQ(times[k], grid.grid_time(k));
            for (std::size_t j = 0; j < columns; ++j) {
                const reference::Rows ordered = reference::time_ordered(c.columns[j]);
                expect_same(reference::aligned_value(ordered, kind_of[j], times[k]), values[j][k],
                            kind_of[j].linear ? "linear" : "step", times[k], j);
                if (sources) {
                    const auto [row, next] = reference::aligned_rows(ordered, kind_of[j], times[k]);
                    EXPECT_EQ(row, rows[j][k]) << "row time at " << times[k] << " column " << j;
                    EXPECT_EQ(next, nexts[j][k]) << "next row time at " << times[k] << " column " << j;
                }
            }
        }
        if (HasFailure()) FAIL() << "round " << round;
    }
}

TEST(TimeWeighted, MatchesTheReferenceOnRandomRows) {
    std::mt19937 rng(11);
    for (int round = 0; round < 3000; ++round) {
        const std::size_t columns = std::uniform_int_distribution<int>(1, 3)(rng);
        const Case c = random_case(rng, columns);
        BucketSpan span;
        span.start = 0;
        span.origin = -std::uniform_int_distribution<int>(0, 1)(rng) * std::uniform_int_distribution<int>(0, 30)(rng);
        span.end = std::uniform_int_distribution<int>(0, 100)(rng);
        span.width = std::uniform_int_distribution<int>(1, 130)(rng);
        span.count = static_cast<uint32_t>((span.end - span.origin) / span.width + 1);
        span.max_gap = round % 3 == 0 ? -1 : std::uniform_int_distribution<int>(1, 30)(rng);
        TimeWeighted sums(span, columns);
        for (std::size_t j = 0; j < columns; ++j) sums.set_last_time(j, last_time_of(c.columns[j]));
        for (std::size_t p = 0; p < c.pieces.size(); ++p) {
            for (const auto& [j, row] : c.pieces[p]) {
                if (row.time <= span.end || p == 0) sums.rows_of(j).add(row.time, row.value);
            }
            sums.advance(c.frontiers[p]);
        }
        sums.advance(INT64_MAX);
        for (std::size_t j = 0; j < columns; ++j) {
            reference::Rows considered;
            for (const SeriesPoint& r : c.columns[j]) {
                if (r.time <= span.end) considered.push_back(r);
            }
            const auto expected = reference::weighted(considered, span);
            std::size_t k = 0;
            for (uint32_t b = 0; b < span.count; ++b) {
                if (expected[b].in_force_ns == 0) continue;
                ASSERT_LT(k, sums.cells_of(j).size()) << "round " << round << " bucket " << b;
                const WeightedCell& cell = sums.cells_of(j)[k++];
                EXPECT_EQ(cell.bucket, b) << "round " << round;
                EXPECT_EQ(cell.in_force_ns, expected[b].in_force_ns) << "round " << round << " bucket " << b;
                EXPECT_EQ(cell.weighted, expected[b].weighted) << "round " << round << " bucket " << b;
            }
            EXPECT_EQ(k, sums.cells_of(j).size()) << "round " << round;
        }
        if (HasFailure()) FAIL() << "round " << round;
    }
}

}  // namespace
}  // namespace zentrail
