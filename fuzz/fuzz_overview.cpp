// Arbitrary bytes as one archive file, under arbitrary windows, codes and
// bucket counts: the overview sink must agree with a plain reduction of the
// rows the column builder makes from the same file with the same filter,
// and a table merged from two reads of the file with a reduction of its rows
// read twice; both as the columns the result is handed on in.
//
// Input: one byte choosing the window, one byte choosing the bucket count,
// one byte of ids (bit k selects elements 0 to 3 of id k; 0 selects every
// code), then the file's bytes.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archive/parser.h"
#include "archive/read_errors.h"
#include "scan/column_builder.h"
#include "scan/overview_sink.h"
#include "scratch_file.h"
#include "time/calendar.h"

namespace {

using namespace zentrail;

const InstantWindow WINDOWS[] = {
    {true, 0, UINT64_MAX},
    {true, 8826 * NS_PER_DAY, 8827 * NS_PER_DAY - 1},
    {true, 8826 * NS_PER_DAY + 12 * 3600 * NS_PER_SECOND, 8826 * NS_PER_DAY + 13 * 3600 * NS_PER_SECOND - 1},
    {true, 5, 5},
    {false, 0, 0},
    {true, NS_PER_DAY, UINT64_MAX - 1},
};
const uint32_t BUCKETS[] = {1, 2, 3, 7, 24, 1000, 86400, 1u << 30};

struct Row {
    int64_t time;
    uint16_t id;
    uint16_t element;
    double value;
};

struct Reference {
    int64_t count = 0;
    double sum = 0, min = 0, max = 0, first = 0, last = 0;
    int64_t min_time = 0, max_time = 0, first_time = 0, last_time = 0;
};

bool same_number(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "%s differs from the reference\n", what);
    std::abort();
}

template <typename Read>
int64_t offset_of_failure(Read&& read) {
    try {
        read();
    } catch (const FileFormatError& e) {
        return e.offset;
    }
    return -1;
}

std::map<uint64_t, Reference> reduce(const std::vector<Row>& rows, int times, const InstantWindow& window,
                                     const OverviewGrid& grid) {
    std::map<uint64_t, Reference> out;
    for (int k = 0; k < times; ++k) {
        for (const Row& row : rows) {
            if (std::isnan(row.value)) continue;
            const uint64_t ns = static_cast<uint64_t>(row.time - ARCHIVE_EPOCH_UNIX_NS);
            if (ns < window.first_ns || ns > window.last_ns) fail("a row's window");
            Reference& r = out[OverviewTable::key_of(row.id, row.element, grid.bucket_of(ns))];
            if (r.count++ == 0) {
                r.min = r.max = r.first = row.value;
                r.min_time = r.max_time = r.first_time = row.time;
            }
            r.sum += row.value;
            if (row.value < r.min) r.min = row.value, r.min_time = row.time;
            if (row.value > r.max) r.max = row.value, r.max_time = row.time;
            r.last = row.value;
            r.last_time = row.time;
        }
    }
    return out;
}

template <typename T>
T at(const OwnedColumn& column, std::size_t row) {
    T value;
    std::memcpy(&value, column.bytes.data() + row * sizeof value, sizeof value);
    return value;
}

// The result's columns, in key order, against the reference; a mean is
// exact when its sum is (the same division of the same numbers).
void compare(OverviewResult result, const std::map<uint64_t, Reference>& expected, const OverviewGrid& grid,
             bool exact_sums) {
    const std::vector<OwnedColumn> c = result.finish(grid);
    if (c.size() != 13) fail("the column count");
    for (const OwnedColumn& column : c) {
        if (column.bytes.size() != expected.size() * (column.arrow_format == "S" ? 2 : 8)) fail("a column's length");
    }
    std::size_t k = 0;
    for (const auto& [key, r] : expected) {
        const std::size_t i = k++;
        if (at<uint16_t>(c[0], i) != OverviewTable::id_of(key) || at<uint16_t>(c[1], i) != OverviewTable::element_of(key) ||
            at<int64_t>(c[2], i) != grid.start_of(OverviewTable::bucket_of(key)) || at<int64_t>(c[3], i) != r.count ||
            !same_number(at<double>(c[5], i), r.min) || at<int64_t>(c[6], i) != r.min_time ||
            !same_number(at<double>(c[7], i), r.max) || at<int64_t>(c[8], i) != r.max_time ||
            !same_number(at<double>(c[9], i), r.first) || at<int64_t>(c[10], i) != r.first_time ||
            !same_number(at<double>(c[11], i), r.last) || at<int64_t>(c[12], i) != r.last_time) {
            fail("a row");
        }
        if (exact_sums && !same_number(at<double>(c[4], i), r.sum / static_cast<double>(r.count))) fail("a row's mean");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const InstantWindow window = WINDOWS[data[0] % (sizeof WINDOWS / sizeof WINDOWS[0])];
    const uint32_t buckets = BUCKETS[data[1] % (sizeof BUCKETS / sizeof BUCKETS[0])];
    // The plan the sink takes: its filter is the one the column builder reads by.
    ReadPlan plan;
    plan.window = window;
    plan.filter = std::make_unique<Filter>(window);
    Filter& filter = *plan.filter;
    if (data[2] == 0) {
        filter.select_every_code();
    } else {
        for (int id = 0; id < 8; ++id) {
            if ((data[2] >> id) & 1) {
                for (int n = 0; n < 4; ++n) filter.addId(id * INDEX_RANGE + n);
            }
        }
    }
    const std::string path = fuzz_support::scratch_file();
    fuzz_support::write_file(path, data + 3, size - 3);

    Parser parser(&filter);
    std::vector<Row> rows;
    ColumnBuilder builder(&filter, 4096, [&](std::unique_ptr<ColumnBatch> batch) {
        for (std::size_t r = 0; r < batch->rows; ++r) {
            rows.push_back({batch->time[r], batch->signal_id[r], batch->element[r], batch->value[r]});
        }
    });
    const int64_t failure = offset_of_failure([&] { parser.read_file(&builder, path); });
    builder.flush();

    const OverviewGrid grid(window, buckets);
    OverviewTable once;
    OverviewSink sink(plan, grid, &once);
    if (offset_of_failure([&] { parser.read_file(&sink, path); }) != failure) fail("the overview reader's error");
    sink.flush();
    OverviewResult one_file;
    one_file.merge_later(once);
    compare(std::move(one_file), reduce(rows, 1, window, grid), grid, true);

    // A second file's table, merged after the first: as the rows read twice.
    OverviewResult twice;
    twice.merge_later(once);
    twice.merge_later(once);
    compare(std::move(twice), reduce(rows, 2, window, grid), grid, false);
    return 0;
}
