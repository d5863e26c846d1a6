// Overviews: per (signal id, element) and equal time bucket of a window, the
// count, mean, extremes and first and last values of a read's numeric rows,
// summed up as the records are decoded, without keeping a row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "output/writer.h"
#include "scan/table_arrow.h"
#include "selection/filter.h"
#include "time/bound.h"

namespace zentrail {

// The buckets of a window: each `width` nanoseconds long, the first starting
// at the window's first instant, width = ceil(span / count). Whole
// nanoseconds cannot split every span into `count` equal parts; rounding the
// width up keeps every bucket the same length and every instant of the
// window in one of the first `count` buckets (the last bucket may reach past
// the window's end, and trailing ones may hold no instant at all).
class OverviewGrid {
public:
    OverviewGrid(const InstantWindow& window, uint32_t count);
    // The bucket of an instant inside the window (archive nanoseconds).
    uint32_t bucket_of(uint64_t ns) const {
        const uint64_t b = (ns - first_ns) / width;
        return b < last_bucket ? static_cast<uint32_t>(b) : last_bucket;
    }
    // The first instant of bucket b, in nanoseconds since 1970-01-01.
    int64_t start_of(uint32_t b) const;
    uint64_t bucket_width() const { return width; }

private:
    uint64_t first_ns = 0;
    uint64_t width = 1;
    uint32_t last_bucket = 0;
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
// were made, and an open-addressing index of their keys beside it (16 bytes
// a slot rather than a whole cell).
class OverviewTable {
public:
    // Id, element and bucket in one key, ordered as the overview's rows.
    static uint64_t key_of(uint32_t id, uint32_t element, uint32_t bucket) {
        return (uint64_t{id} << 48) | (uint64_t{element} << 32) | bucket;
    }
    static uint16_t id_of(uint64_t key) { return static_cast<uint16_t>(key >> 48); }
    static uint16_t element_of(uint64_t key) { return static_cast<uint16_t>(key >> 32); }
    static uint32_t bucket_of(uint64_t key) { return static_cast<uint32_t>(key); }

    // Room for `count` cells without growing (a file's table is mostly as
    // large as the previous file's).
    void reserve(std::size_t count);
    // Counts one value read after every value counted so far.
    void add(uint64_t key, int64_t time, double value);
    // The cells, in the order they were made.
    const std::vector<OverviewCell>& cells_made() const { return cells; }
    // Frees the index, keeping the cells: a file's table waits for its turn
    // to be merged with no more than its cells.
    void drop_index();
    std::size_t size() const { return cells.size(); }

private:
    struct Slot {
        uint64_t key;
        std::size_t cell;  // NO_CELL: an empty slot
    };
    static constexpr std::size_t NO_CELL = SIZE_MAX;

    std::size_t _slot_of(uint64_t key) const {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits));
    }
    // The slot of `key`, or the empty slot where it belongs; the index has
    // room for one more cell.
    Slot& _find(uint64_t key);
    void _rehash(std::size_t slot_count);

    std::vector<OverviewCell> cells;
    std::vector<Slot> slots;
    int bits = 0;  // slots.size() is 1 << bits
    // The last cell of each (id, element), by a hash of the two: within a
    // file time mostly runs forward, so a value mostly lands in the cell its
    // signal's previous one did, and this small table finds it without
    // touching the index, whose slots lie all over memory.
    static constexpr int RECENT_BITS = 12;
    struct Recent {
        uint64_t key = UINT64_MAX;  // no key: element indices stop at 1023
        std::size_t cell = 0;
    };
    std::vector<Recent> recent;
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
// would make from the item (the same selection rule, the same window) is
// counted in the table under its bucket; text rows, and values that are not
// numbers, count nowhere.
class OverviewSink : public Writer {
public:
    // `filter` is borrowed; `grid` splits the filter's window.
    OverviewSink(const Filter* filter, const OverviewGrid& grid, OverviewTable* table)
        : filter(filter), grid(grid), table(table) {}
    void export_value(ACI_WITH_DATE* item) override;

private:
    const Filter* filter;
    OverviewGrid grid;
    OverviewTable* table;
};

}  // namespace zentrail
