// Overviews: per (signal id, element) and equal time bucket of a window, the
// count, mean, extremes and first and last values of a read's numeric rows,
// summed up as the records are decoded, without keeping a row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "output/writer.h"
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

// Cells by key: the cells in a plain array in the order they were made, and
// an open-addressing index of their keys beside it. The index costs 16
// bytes a slot rather than a whole cell, so that a table of many cells (all
// the rows of a large overview) takes little more than the cells themselves.
class OverviewTable {
public:
    // Id, element and bucket in one key, ordered as the overview's rows.
    static uint64_t key_of(uint32_t id, uint32_t element, uint32_t bucket) {
        return (uint64_t{id} << 48) | (uint64_t{element} << 32) | bucket;
    }
    static uint16_t id_of(uint64_t key) { return static_cast<uint16_t>(key >> 48); }
    static uint16_t element_of(uint64_t key) { return static_cast<uint16_t>(key >> 32); }
    static uint32_t bucket_of(uint64_t key) { return static_cast<uint32_t>(key); }

    // Counts one value read after every value counted so far.
    void add(uint64_t key, int64_t time, double value);
    // Counts the values of `later`, a table of values read after all of
    // this one's (the next file's): sums add, extremes keep the earlier on
    // a tie, the first value stays and the last is the later one's.
    void merge_later(const OverviewTable& later);
    // The cells, in the order they were made, and the positions of the
    // cells in ascending key order: the rows of an overview are written out
    // in that order without moving the cells themselves (sorting the small
    // positions is several times faster than sorting whole cells).
    const std::vector<OverviewCell>& cells_made() const { return cells; }
    std::vector<std::size_t> key_order() const;
    // Frees the index; the cells stay (call once the counting is done).
    void drop_index();
    // The cells in ascending key order, the table unchanged.
    std::vector<OverviewCell> sorted() const;
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
    void _grow();

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
