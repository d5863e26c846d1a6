#include "scan/overview_sink.h"

#include <algorithm>
#include <cmath>

#include "output/selected_values.h"
#include "scan/column_batch.h"

namespace zentrail {

OverviewGrid::OverviewGrid(const InstantWindow& window, uint32_t count) {
    if (!window.open || count == 0) return;
    first_ns = window.first_ns;
    // The span may be all 2^64 instants: counted in 128 bits.
    const unsigned __int128 span = static_cast<unsigned __int128>(window.last_ns - window.first_ns) + 1;
    const unsigned __int128 w = (span + count - 1) / count;
    width = static_cast<uint64_t>(std::min<unsigned __int128>(w, UINT64_MAX));
}

int64_t OverviewGrid::start_of(uint32_t b) const {
    return static_cast<int64_t>(first_ns + uint64_t{b} * width) + ARCHIVE_EPOCH_UNIX_NS;
}

OverviewCell& OverviewTable::_find(uint64_t key) {
    const std::size_t mask = slots.size() - 1;
    std::size_t i = _slot_of(key);
    while (slots[i].key != key && slots[i].key != NO_KEY) i = (i + 1) & mask;
    return slots[i];
}

void OverviewTable::_grow() {
    std::vector<OverviewCell> old = std::move(slots);
    OverviewCell empty{};
    empty.key = NO_KEY;
    slots.assign(old.empty() ? 256 : old.size() * 2, empty);
    bits = 0;
    while ((std::size_t{1} << bits) < slots.size()) ++bits;
    for (const OverviewCell& cell : old) {
        if (cell.key != NO_KEY) _find(cell.key) = cell;
    }
}

void OverviewTable::add(uint64_t key, int64_t time, double value) {
    _reserve_one();
    OverviewCell& cell = _find(key);
    if (cell.key == NO_KEY) {
        cell = OverviewCell{key, 1, value, value, time, value, time, value, time, value, time};
        ++used;
        return;
    }
    ++cell.count;
    cell.sum += value;
    if (value < cell.min) {
        cell.min = value;
        cell.min_time = time;
    }
    if (value > cell.max) {
        cell.max = value;
        cell.max_time = time;
    }
    cell.last = value;
    cell.last_time = time;
}

void OverviewTable::merge_later(const OverviewTable& later) {
    for (const OverviewCell& other : later.slots) {
        if (other.key == NO_KEY) continue;
        _reserve_one();
        OverviewCell& mine = _find(other.key);
        if (mine.key == NO_KEY) {
            mine = other;
            ++used;
            continue;
        }
        mine.count += other.count;
        mine.sum += other.sum;
        if (other.min < mine.min) {
            mine.min = other.min;
            mine.min_time = other.min_time;
        }
        if (other.max > mine.max) {
            mine.max = other.max;
            mine.max_time = other.max_time;
        }
        mine.last = other.last;
        mine.last_time = other.last_time;
    }
}

std::vector<OverviewCell> OverviewTable::sorted() const {
    std::vector<OverviewCell> out;
    out.reserve(used);
    for (const OverviewCell& cell : slots) {
        if (cell.key != NO_KEY) out.push_back(cell);
    }
    std::sort(out.begin(), out.end(), [](const OverviewCell& a, const OverviewCell& b) { return a.key < b.key; });
    return out;
}

void OverviewSink::export_value(ACI_WITH_DATE* item) {
    const AR_COMMON_ITEM& it = item->item;
    const uint64_t ns = item_timestamp(item);
    const int64_t time = static_cast<int64_t>(ns) + ARCHIVE_EPOCH_UNIX_NS;
    const uint32_t id = static_cast<uint16_t>(it.id);
    const NumberReader number_at = number_reader_of(it.code);
    // The window test comes first inside the rule: the bucket is only
    // worked out for an item that gives a row.
    for_each_selected_value(
        item, *filter, [] {},
        [&](int n, int p) {
            const double value = number_at(it.data, p);
            if (std::isnan(value)) return;
            table->add(OverviewTable::key_of(id, static_cast<uint32_t>(n), grid.bucket_of(ns)), time, value);
        });
}

}  // namespace zentrail
