// Arbitrary bytes as two archive files, under arbitrary windows, grids,
// lookbacks and gaps: the aligned read and the time-weighted read must agree
// with the plain reference of the tests, computed from every row the column
// builder makes of the same files under the widened window. Rows of other
// days than the window's, out of time order, and at one instant come from
// the bytes themselves (date marks and times are anything).
//
// Input: a byte each choosing the window, the grid step, the lookback, the
// gap and the interpolation, the ids (bit k selects elements 0 to 3 of id k;
// 0 selects every code), where the first file ends; then the files' bytes.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "archive/parser.h"
#include "scan/aligned_read.h"
#include "scan/column_builder.h"
#include "scan/weighted_read.h"
#include "scratch_file.h"
#include "series_reference.h"
#include "time/calendar.h"

namespace {

using namespace zentrail;

constexpr int64_t DAY = static_cast<int64_t>(NS_PER_DAY);
constexpr int64_t HOUR = 3600 * static_cast<int64_t>(NS_PER_SECOND);
// 2024-03-01, the day the seed files are of.
constexpr int64_t DAY_START = ARCHIVE_EPOCH_UNIX_NS + 8826 * DAY;

const int64_t STARTS[] = {DAY_START, DAY_START + 12 * HOUR, ARCHIVE_EPOCH_UNIX_NS, DAY_START + 5, DAY_START - DAY};
const int64_t LENGTHS[] = {DAY - 1, HOUR - 1, 0, 7, 3 * DAY};
const int64_t STEPS[] = {HOUR, 1, 7 * HOUR, 60 * static_cast<int64_t>(NS_PER_SECOND), 10 * DAY, 1000};
const int64_t LOOKBACKS[] = {7 * DAY, -1, HOUR, 1};
const int64_t GAPS[] = {-1, HOUR, 1, 30 * 60 * static_cast<int64_t>(NS_PER_SECOND)};
// The grid rows compared and the buckets summed: the reference walks every
// row for each instant, so a longer grid costs inputs a second and shows the
// reader nothing new.
constexpr uint64_t GRID_ROWS = 128;
constexpr uint64_t BUCKETS = 500;

[[noreturn]] void fail(const char* what, int64_t at) {
    std::fprintf(stderr, "%s differs from the reference at %lld\n", what, static_cast<long long>(at));
    std::abort();
}

bool same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

// Every value row of the files under `filter`, by code, in read order.
std::map<int32_t, reference::Rows> rows_of(const std::vector<std::string>& paths, const Filter& filter) {
    std::map<int32_t, reference::Rows> out;
    ColumnBuilder builder(&filter, 256, [&](std::unique_ptr<ColumnBatch> batch) {
        for (std::size_t r = 0; r < batch->rows; ++r) {
            if (std::isnan(batch->value[r])) continue;
            out[batch->signal_id[r] * 1024 + batch->element[r]].push_back(SeriesPoint{batch->time[r], batch->value[r]});
        }
    });
    Parser parser(&filter);
    parser.set_payload_classes(0);
    for (const std::string& path : paths) parser.read_file(&builder, path);
    builder.flush();
    return out;
}

InstantWindow archive_window(int64_t first, int64_t last) {
    InstantWindow w;
    if (last < ARCHIVE_EPOCH_UNIX_NS || first > last) return w;
    w.open = true;
    w.first_ns = first < ARCHIVE_EPOCH_UNIX_NS ? 0 : static_cast<uint64_t>(first - ARCHIVE_EPOCH_UNIX_NS);
    w.last_ns = static_cast<uint64_t>(last - ARCHIVE_EPOCH_UNIX_NS);
    return w;
}

template <typename T, std::size_t N>
const T& pick(const T (&options)[N], uint8_t byte) { return options[byte % N]; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 7) return 0;
    SeriesGrid grid;
    grid.start = pick(STARTS, data[0]);
    grid.end = grid.start + pick(LENGTHS, data[0] >> 4);
    grid.every = pick(STEPS, data[1]);
    const int64_t lookback = pick(LOOKBACKS, data[2]);
    grid.max_gap = pick(GAPS, data[3]);
    grid.linear = (data[3] & 0x80) != 0;
    const uint8_t ids = data[4];
    const std::size_t split = std::min<std::size_t>(data[5] * 16, size - 6);
    const uint8_t* bytes = data + 6;
    const std::string base = fuzz_support::scratch_file();
    const std::vector<std::string> paths{base + ".1", base + ".2"};
    fuzz_support::write_file(paths[0], bytes, split);
    fuzz_support::write_file(paths[1], bytes + split, size - 6 - split);

    SeriesRequest request;
    request.paths = paths;
    request.window.first = lookback < 0 ? INT64_MIN : grid.start - lookback;
    request.window.start = grid.start;
    request.window.last = grid.linear ? (lookback < 0 ? INT64_MAX : grid.end + lookback) : grid.end;
    request.every_code = ids == 0;
    for (int id = 0; id < 8; ++id) {
        for (int n = 0; n < 4 && ((ids >> id) & 1); ++n) request.codes.push_back(id * 1024 + n);
    }
    // One reader thread: the files' order of arrival is the reader's own
    // concern (its tests), and a second thread per input halves the count.
    request.threads = 1;
    request.batch_rows = data[2] & 0x80 ? 3 : 64;

    Filter filter(archive_window(request.window.first, request.window.last));
    if (request.every_code) {
        filter.select_every_code();
    } else {
        for (int32_t code : request.codes) filter.addId(code);
    }
    std::map<int32_t, reference::Rows> expected;
    try {
        expected = rows_of(paths, filter);
    } catch (const std::exception&) {
        return 0;  // a malformed file fails both; that the engine fails cleanly is all there is to see
    }
    if (!request.every_code) {
        for (int32_t code : request.codes) expected[code];
    }

    constexpr std::chrono::milliseconds WAIT{50};
    AlignedRead aligned(request, grid);
    std::vector<int32_t> codes;
    std::vector<reference::Rows> ordered;
    for (const auto& entry : expected) {
        codes.push_back(entry.first);
        ordered.push_back(reference::time_ordered(entry.second));
    }
    uint64_t k = 0;
    for (;;) {
        AlignedBatch batch;
        const auto got = aligned.next(&batch, WAIT);
        if (got == AlignedRead::Next::Finished) break;
        if (got == AlignedRead::Next::Waiting) continue;
        if (aligned.columns().size() != codes.size()) fail("the column count", 0);
        for (std::size_t j = 0; j < codes.size(); ++j) {
            if (aligned.columns().code(j) != codes[j]) fail("a column's code", codes[j]);
        }
        const auto* times = reinterpret_cast<const int64_t*>(batch.times.data());
        for (std::size_t r = 0; r < batch.rows() && k <= GRID_ROWS; ++r, ++k) {
            if (times[r] != grid.grid_time(k)) fail("a grid instant", times[r]);
            for (std::size_t j = 0; j < codes.size(); ++j) {
                double value;
                std::memcpy(&value, batch.values[j].data() + r * sizeof value, sizeof value);
                if (!same(value, reference::aligned_value(ordered[j], grid, times[r]))) {
                    fail(grid.linear ? "a linear value" : "a step value", times[r]);
                }
            }
        }
        if (k > GRID_ROWS) break;
    }
    if (k != grid.grid_count() && k <= GRID_ROWS) fail("the grid's length", static_cast<int64_t>(k));

    // The time-weighted sums over the step window, in buckets of the step.
    SeriesRequest step_request = request;
    step_request.window.last = grid.end;
    BucketSpan span;
    span.origin = grid.start;
    span.start = grid.start;
    span.end = grid.end;
    span.width = grid.every;
    span.count = static_cast<uint32_t>(std::min<uint64_t>(grid.grid_count(), BUCKETS));
    span.max_gap = grid.max_gap;
    if (grid.grid_count() > BUCKETS) return 0;
    WeightedRead weighted(step_request, span);
    while (weighted.next(WAIT) != WeightedRead::Next::Finished) {
    }
    const std::vector<OwnedColumn> columns = weighted.columns();
    const std::size_t weighted_rows = weighted.rows();  // counted afresh at each call
    std::size_t row = 0;
    auto at = [&](std::size_t c, std::size_t r, auto zero) {
        decltype(zero) v;
        std::memcpy(&v, columns[c].bytes.data() + r * sizeof v, sizeof v);
        return v;
    };
    for (const auto& [code, rows] : expected) {
        reference::Rows considered;
        for (const SeriesPoint& p : rows) {
            if (p.time <= grid.end) considered.push_back(p);
        }
        const auto sums = reference::weighted(considered, span);
        for (uint32_t b = 0; b < span.count; ++b) {
            if (sums[b].in_force_ns == 0) continue;
            if (row >= weighted_rows) fail("the time-weighted row count", b);
            if (at(0, row, uint16_t{}) * 1024 + at(1, row, uint16_t{}) != code) fail("a time-weighted code", code);
            if (at(2, row, int64_t{}) != span.start_of(b)) fail("a bucket", b);
            if (at(3, row, 0.0) != static_cast<double>(sums[b].in_force_ns) / 1e9) fail("a time in force", b);
            if (!same(at(4, row, 0.0), sums[b].weighted / 1e9)) fail("an integral", b);
            ++row;
        }
    }
    if (row != weighted_rows) fail("the time-weighted row count", static_cast<int64_t>(row));
    return 0;
}
