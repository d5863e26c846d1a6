// Overviews: per (signal id, element) and equal time bucket of a window, the
// count, mean, extremes and first and last values of a read's numeric rows,
// summed up as the records are decoded, without keeping a row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "archive/record_sink.h"
#include "scan/read_plan.h"
#include "scan/table_arrow.h"
#include "selection/filter.h"
#include "time/bound.h"

namespace zentrail {

// The buckets of a window: each `width` nanoseconds long, the first starting
// at the window's start bound, width = ceil(span / count). Whole
// nanoseconds cannot split every span into `count` equal parts; rounding the
// width up keeps every bucket the same length and every instant of the
// window in one of the first `count` buckets (the last bucket may reach past
// the window's end, and trailing ones may hold no instant at all). A start
// before 2000-01-01 lies `lead` before the window's first instant (no
// archive instant comes earlier): the buckets still start at it.
class OverviewGrid {
public:
    OverviewGrid(const InstantWindow& window, uint32_t count, WideNs lead = 0);
    // `count` buckets of `width` from `origin` (ns since 1970-01-01, at or
    // before every instant counted): buckets of a given length. An origin
    // before the archive's day 0 is a lead before its first instant.
    OverviewGrid(int64_t origin, uint64_t width, uint32_t count);
    // Buckets from the listed first instants (ns since 1970-01-01,
    // ascending): days of a zone, whose lengths vary.
    explicit OverviewGrid(std::vector<int64_t> starts);
    // The bucket of an instant inside the window (archive nanoseconds).
    uint32_t bucket_of(uint64_t ns) const {
        if (!starts.empty()) return _listed_bucket_of(ns);
        // (ns - first_ns + lead) / width, with lead = lead_buckets * width +
        // lead_rest, in 64 bits.
        const uint64_t d = ns - first_ns;
        const uint64_t b = d / width;
        if (b >= last_bucket) return last_bucket;
        const uint64_t carried = b + lead_buckets + (d % width >= width - lead_rest ? 1 : 0);
        return carried < last_bucket ? static_cast<uint32_t>(carried) : last_bucket;
    }
    // The first instant of bucket b, in nanoseconds since 1970-01-01 (held
    // to the instants of an int64).
    int64_t start_of(uint32_t b) const;
    uint64_t bucket_width() const { return width; }
    uint32_t bucket_count() const { return last_bucket + 1; }
    // The Arrow format of the instant columns (a read's zone's).
    const char* time_format = "tsn:";

private:
    uint32_t _listed_bucket_of(uint64_t ns) const;
    std::vector<int64_t> starts;
    uint64_t first_ns = 0;
    uint64_t width = 1;
    uint32_t last_bucket = 0;
    WideNs lead = 0;
    uint64_t lead_buckets = 0;  // whole buckets in lead, at most last_bucket + 1
    uint64_t lead_rest = 0;     // lead % width
};

// One (signal id, element, bucket) of an overview. Times are nanoseconds
// since 1970-01-01; min_time and max_time are those of the first value, in
// read order, equal to the extreme; first and last are in read order.
struct OverviewCell {
    uint64_t key;  // see OverviewTable::key_of
    int64_t count;
    double sum;
    double min;
    int64_t min_time;
    double max;
    int64_t max_time;
    double first;
    int64_t first_time;
    double last;
    int64_t last_time;
};

// The cells of one file by key: the cells in a plain array in the order they
// were made, and an open-addressing index beside it whose entries each hold
// the cells of GROUP consecutive buckets of one (id, element). Within a file
// a signal's values move from bucket to bucket mostly forward, so one look
// into the index mostly serves the signal's next several cells.
class OverviewTable {
public:
    // Id, element and bucket in one key, ordered as the overview's rows.
    static uint64_t key_of(uint32_t id, uint32_t element, uint32_t bucket) {
        return (uint64_t{id} << 48) | (uint64_t{element} << 32) | bucket;
    }
    static uint16_t id_of(uint64_t key) { return static_cast<uint16_t>(key >> 48); }
    static uint16_t element_of(uint64_t key) { return static_cast<uint16_t>(key >> 32); }
    static uint32_t bucket_of(uint64_t key) { return static_cast<uint32_t>(key); }
    // No key: element indices stop at 1023.
    static constexpr uint64_t NO_KEY = UINT64_MAX;

    static constexpr int GROUP_BITS = 3;
    static constexpr uint32_t GROUP = 1u << GROUP_BITS;
    static constexpr uint32_t NO_CELL = UINT32_MAX;
    static uint64_t group_key_of(uint64_t key) { return key & ~uint64_t{GROUP - 1}; }

    // Room for `cells` cells in `groups` index entries without growing (a
    // file's table is mostly as large as the previous file's).
    void reserve(std::size_t cells, std::size_t groups);

    // The position of the cell of `key`; a new cell counts nothing yet, and
    // its first value is the one given. `group` gets the positions of the
    // cells of the key's group (NO_CELL for a cell not made yet).
    uint32_t cell_for(uint64_t key, int64_t time, double value, uint32_t (&group)[GROUP]);
    // Asks for the cell to be brought into cache: it is next written a few
    // values later, when it is there rather than fetched on the spot.
    void prefetch(uint32_t cell) const {
        const auto* at = reinterpret_cast<const char*>(&cells[cell]);
        __builtin_prefetch(at, 1);
        __builtin_prefetch(at + sizeof(OverviewCell) - 1, 1);
    }
    // The sum of the cell's values so far.
    double sum_of(uint32_t cell) const { return cells[cell].sum; }
    // Counts `run`, values read after all of the cell's, whose sum is the
    // cell's sum so far plus theirs, added in read order (so that a file's
    // sums are those of adding its values one by one). A cell that counts
    // nothing takes the run as it is.
    void count_run(uint32_t cell, const OverviewCell& run);
    // The cells, in the order they were made.
    const std::vector<OverviewCell>& cells_made() const { return cells; }
    std::size_t size() const { return cells.size(); }
    std::size_t groups() const { return group_count; }
    // Frees the index, keeping the cells: a file's table waits for its turn
    // to be merged with no more than its cells.
    void drop_index();

private:
    struct Group {
        uint64_t key;  // the first cell's key (the bucket's low GROUP_BITS clear), or NO_KEY
        uint32_t cell[GROUP];
    };

    void _rehash(std::size_t slot_count);

    std::vector<OverviewCell> cells;
    std::vector<Group> slots;
    std::size_t group_count = 0;
    int bits = 0;  // slots.size() is 1 << bits
};

// The overview of the files merged so far, in file order, held field by
// field in the arrays the result's columns are made from, beside a small
// index of their keys (8 bytes a slot). Holding the fields apart, rather
// than as cells to be copied into columns at the end, keeps the peak close
// to the result itself.
class OverviewResult {
public:
    // Counts the cells of `later`, a table of values read after all of this
    // one's (the next file's): sums add, extremes keep the earlier on a tie,
    // the first value stays and the last is the later one's.
    void merge_later(const OverviewTable& later);
    // Room for `rows` rows. Room not written to is never resident, but a
    // field grown by doubling leaves each smaller array it outgrew behind
    // in the allocator, resident: reserving the likely size once at the
    // start spares most of that.
    void reserve(std::size_t rows);
    std::size_t size() const { return keys.size(); }
    // The rows in key order as the overview's columns (signal_id, element,
    // bucket, count, mean, min, min_time, max, max_time, first, first_time,
    // last, last_time); leaves this empty. Each field's array is freed as
    // soon as its column is written, so the peak stays near one copy.
    std::vector<OwnedColumn> finish(const OverviewGrid& grid);

private:
    struct Slot {
        uint32_t row;    // the row + 1; 0: an empty slot
        uint32_t check;  // a second hash of the key: most mismatches end here
    };
    std::size_t _home_of(uint64_t key) const {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits));
    }
    Slot& _find(uint64_t key);
    void _grow();

    std::vector<uint64_t> keys;
    std::vector<int64_t> counts;
    std::vector<double> sums, mins, maxs, firsts, lasts;
    std::vector<int64_t> min_times, max_times, first_times, last_times;
    std::vector<Slot> slots;
    int bits = 0;  // slots.size() is 1 << bits
};

// The record sink of an overview: every numeric row the column builder
// would make from the item under the same read plan (its codes, its window
// narrowed by any row window, its per-row conditions) is counted in the
// table under its bucket; text rows, and values that are not numbers, count
// nowhere. A plan's limit cannot be kept file by file (which rows come
// first depends on the files before): such a read counts the rows the scan
// hands on, through count_row.
//
// The values of each (id, element) are summed first into a run of their own,
// held here in a small array (by a hash of the id, an id's first four
// elements side by side, as a record gives them), and the run is counted in
// its cell when a value of another cell comes (or at the end): a value then
// touches one entry that stays in cache, where counting it in its cell
// straight away would reach into the table, all over memory. A run starts
// from its cell's sum, and the cell its signal most likely moves to next
// (the next bucket's) is fetched into cache while the run lasts.
class OverviewSink : public RecordSink {
public:
    // `plan` is borrowed; `grid` splits its window.
    OverviewSink(const ReadPlan& plan, const OverviewGrid& grid, OverviewTable* table);
    // A sink of rows a read gave alone (count_row), not of records.
    OverviewSink(const OverviewGrid& grid, OverviewTable* table);
    // Counts the runs still held, so that a read that fails hands on what
    // it summed up.
    ~OverviewSink() override { flush(); }
    OverviewSink(const OverviewSink&) = delete;
    OverviewSink& operator=(const OverviewSink&) = delete;
    void export_value(ACI_WITH_DATE* item) override;
    // Counts one row a read gave (time in nanoseconds since 1970-01-01),
    // when the rows are those of a scan rather than of records.
    void count_row(uint16_t id, uint16_t element, int64_t time, double value);
    // Counts every run held in the table.
    void flush() noexcept;

private:
    struct Run {
        OverviewCell values;  // key NO_KEY: no run; first and first_time unused
        uint32_t cell;
        // The cells of the run's group as they stood when the run started:
        // the next run of the signal mostly finds its cell here, without
        // the table's index (which by then is mostly out of cache).
        uint32_t group[OverviewTable::GROUP];
    };
    void _add(uint64_t key, int64_t time, double value);

    const Filter* filter;
    const RowPredicate* predicate;  // null: every row the filter selects
    OverviewGrid grid;
    OverviewTable* table;
    static constexpr int RUN_BITS = 11;
    std::vector<Run> runs;
};

}  // namespace zentrail
