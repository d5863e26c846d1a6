// A read's limits and later stages, kept batch by batch, against the same
// chain applied to all the rows at once.
#include "scan/limited_rows.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "scan/overview_sink.h"

namespace {

using namespace zentrail;

struct Row {
    int64_t time;
    uint16_t id;
    uint16_t element;
    uint8_t subtype;
};

// The rows that pass: the first `first` rows, then each stage's conditions
// and limit in turn.
std::vector<Row> reference(const std::vector<Row>& rows, int64_t first, const std::vector<LaterStage>& later) {
    std::vector<Row> left(rows.begin(), first < 0 ? rows.end() : rows.begin() + std::min<std::size_t>(rows.size(), first));
    for (const LaterStage& stage : later) {
        std::vector<Row> kept;
        for (const Row& row : left) {
            ColumnBatch one(1);
            one.append(row.time, row.id, row.element, 0.0, 1, row.subtype);
            if (stage.keeps(one, 0) && (stage.limit < 0 || static_cast<int64_t>(kept.size()) < stage.limit)) {
                kept.push_back(row);
            }
        }
        left = kept;
    }
    return left;
}

TEST(LimitedRows, KeepsTheChainInReadOrderAcrossBatches) {
    std::mt19937 rng(99);
    auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int round = 0; round < 300; ++round) {
        std::vector<Row> rows(static_cast<std::size_t>(pick(0, 60)));
        for (Row& row : rows) {
            row = {pick(0, 9), static_cast<uint16_t>(pick(0, 3)), static_cast<uint16_t>(pick(0, 2)),
                   static_cast<uint8_t>(pick(0, 7))};
        }
        const int64_t first = pick(-1, 50);
        std::vector<LaterStage> later(static_cast<std::size_t>(pick(0, 3)));
        for (LaterStage& stage : later) {
            stage.predicate.subtypes = static_cast<uint8_t>(pick(0, 255));
            stage.predicate.elements.reset(static_cast<std::size_t>(pick(0, 2)));
            stage.every_id = pick(0, 1) == 0;
            stage.ids.set(static_cast<std::size_t>(pick(0, 3)));
            stage.first_time = pick(0, 4);
            stage.last_time = pick(3, 9);
            stage.limit = pick(-1, 20);
        }
        const std::vector<Row> want = reference(rows, first, later);
        LimitedRows limits(first, later);
        std::vector<Row> got;
        const std::size_t batch_rows = static_cast<std::size_t>(pick(1, 8));
        bool more = true;
        for (std::size_t at = 0; at < rows.size() && more; at += batch_rows) {
            ColumnBatch batch(batch_rows);
            for (std::size_t r = at; r < std::min(rows.size(), at + batch_rows); ++r) {
                batch.append(rows[r].time, rows[r].id, rows[r].element, 0.0, 1, rows[r].subtype);
            }
            more = limits.keep(&batch);
            for (std::size_t r = 0; r < batch.rows; ++r) {
                got.push_back({batch.time[r], batch.signal_id[r], batch.element[r], batch.subtype[r]});
            }
        }
        ASSERT_EQ(got.size(), want.size()) << "round " << round;
        for (std::size_t r = 0; r < got.size(); ++r) {
            EXPECT_EQ(got[r].time, want[r].time);
            EXPECT_EQ(got[r].id, want[r].id);
            EXPECT_EQ(got[r].element, want[r].element);
        }
    }
}

// The grid of a window whose start bound lies before the archive's first
// instant: bucket_of(ns) is (ns - start) / width, however long the lead.
TEST(OverviewGrid, BucketsStartAtAStartBeforeTheArchive) {
    __extension__ using Wide = unsigned __int128;
    std::mt19937_64 rng(5);
    for (int round = 0; round < 2000; ++round) {
        InstantWindow window{true, 0, rng() >> (rng() % 64)};
        const Wide lead = round % 3 == 0 ? Wide{rng()} * (rng() % 5) + rng() : Wide{rng() >> (rng() % 64)};
        const auto count = static_cast<uint32_t>(1 + rng() % 1000);
        const OverviewGrid grid(window, count, lead);
        const Wide span = Wide{window.last_ns} + lead + 1;
        const Wide width = (span - 1) / count + 1;
        ASSERT_EQ(Wide{grid.bucket_width()}, width > UINT64_MAX ? Wide{UINT64_MAX} : width);
        for (int k = 0; k < 20; ++k) {
            const uint64_t ns = window.last_ns == UINT64_MAX ? rng() : rng() % (window.last_ns + 1);
            const Wide want = (Wide{ns} + lead) / grid.bucket_width();
            ASSERT_EQ(grid.bucket_of(ns), want >= count ? count - 1 : static_cast<uint32_t>(want)) << round;
        }
    }
}

}  // namespace
