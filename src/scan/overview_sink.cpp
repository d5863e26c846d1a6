#include "scan/overview_sink.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "output/selected_values.h"
#include "scan/column_batch.h"

namespace zentrail {

OverviewGrid::OverviewGrid(const InstantWindow& window, uint32_t count) {
    if (!window.open || count == 0) return;
    first_ns = window.first_ns;
    last_bucket = count - 1;
    // ceil((d + 1) / count) is d / count + 1 for every d, and needs no room
    // past 64 bits, but for the one window of all 2^64 instants in one bucket.
    const uint64_t d = window.last_ns - window.first_ns;
    width = d / count == UINT64_MAX ? UINT64_MAX : d / count + 1;
}

int64_t OverviewGrid::start_of(uint32_t b) const {
    return static_cast<int64_t>(first_ns + uint64_t{b} * width) + ARCHIVE_EPOCH_UNIX_NS;
}

OverviewTable::Slot& OverviewTable::_find(uint64_t key) {
    if ((cells.size() + 1) * 2 > slots.size()) _grow();
    const std::size_t mask = slots.size() - 1;
    // A multiplicative hash: the top bits of the product mix every bit of
    // the key, and keys differ mostly in their low bits.
    std::size_t i = _slot_of(key);
    while (slots[i].cell != NO_CELL && slots[i].key != key) i = (i + 1) & mask;
    return slots[i];
}

void OverviewTable::_grow() {
    slots.assign(slots.empty() ? 256 : slots.size() * 2, Slot{0, NO_CELL});
    bits = 0;
    while ((std::size_t{1} << bits) < slots.size()) ++bits;
    const std::size_t mask = slots.size() - 1;
    for (std::size_t k = 0; k < cells.size(); ++k) {
        std::size_t i = _slot_of(cells[k].key);
        while (slots[i].cell != NO_CELL) i = (i + 1) & mask;
        slots[i] = Slot{cells[k].key, k};
    }
}

void OverviewTable::add(uint64_t key, int64_t time, double value) {
    if (recent.empty()) recent.resize(std::size_t{1} << RECENT_BITS);
    Recent& hint = recent[static_cast<std::size_t>(((key >> 32) * 0x9E3779B97F4A7C15ull) >> (64 - RECENT_BITS))];
    if (hint.key != key) {
        Slot& slot = _find(key);
        if (slot.cell == NO_CELL) {
            slot = Slot{key, cells.size()};
            cells.push_back(OverviewCell{key, 1, value, value, time, value, time, value, time, value, time});
            hint = Recent{key, slot.cell};
            return;
        }
        hint = Recent{key, slot.cell};
    }
    OverviewCell& cell = cells[hint.cell];
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
    for (const OverviewCell& other : later.cells) {
        Slot& slot = _find(other.key);
        if (slot.cell == NO_CELL) {
            slot = Slot{other.key, cells.size()};
            cells.push_back(other);
            continue;
        }
        OverviewCell& mine = cells[slot.cell];
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

namespace {
void sort_by_key(std::vector<OverviewCell>& cells) {
    std::sort(cells.begin(), cells.end(), [](const OverviewCell& a, const OverviewCell& b) { return a.key < b.key; });
}
}  // namespace

std::vector<std::size_t> OverviewTable::key_order() const {
    std::vector<std::pair<uint64_t, std::size_t>> keys(cells.size());
    for (std::size_t k = 0; k < cells.size(); ++k) keys[k] = {cells[k].key, k};
    std::sort(keys.begin(), keys.end());
    std::vector<std::size_t> order(keys.size());
    for (std::size_t k = 0; k < keys.size(); ++k) order[k] = keys[k].second;
    return order;
}

void OverviewTable::drop_index() {
    std::vector<Slot>().swap(slots);
    std::vector<Recent>().swap(recent);
    bits = 0;
}

std::vector<OverviewCell> OverviewTable::sorted() const {
    std::vector<OverviewCell> out = cells;
    sort_by_key(out);
    return out;
}

void OverviewSink::export_value(ACI_WITH_DATE* item) {
    const AR_COMMON_ITEM& it = item->item;
    const uint64_t ns = item_timestamp(item);
    const int64_t time = static_cast<int64_t>(ns) + ARCHIVE_EPOCH_UNIX_NS;
    const uint32_t id = static_cast<uint16_t>(it.id);
    const NumberReader number_at = number_reader_of(it.code);
    // The bucket is the item's, worked out once for all its values (a
    // division is the dearest step here), and only for an item that gives
    // a value: the window test comes first inside the rule.
    uint64_t base = UINT64_MAX;
    for_each_selected_value(
        item, *filter, [] {},
        [&](int n, int p) {
            const double value = number_at(it.data, p);
            if (std::isnan(value)) return;
            if (base == UINT64_MAX) base = OverviewTable::key_of(id, 0, grid.bucket_of(ns));
            table->add(base | (uint64_t{static_cast<uint32_t>(n)} << 32), time, value);
        });
}

}  // namespace zentrail
