#include "scan/overview_sink.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
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
    if ((cells.size() + 1) * 2 > slots.size()) _rehash(slots.empty() ? 256 : slots.size() * 2);
    const std::size_t mask = slots.size() - 1;
    // A multiplicative hash: the top bits of the product mix every bit of
    // the key, and keys differ mostly in their low bits.
    std::size_t i = _slot_of(key);
    while (slots[i].cell != NO_CELL && slots[i].key != key) i = (i + 1) & mask;
    return slots[i];
}

void OverviewTable::_rehash(std::size_t slot_count) {
    slots.assign(slot_count, Slot{0, NO_CELL});
    bits = 0;
    while ((std::size_t{1} << bits) < slots.size()) ++bits;
    const std::size_t mask = slots.size() - 1;
    for (std::size_t k = 0; k < cells.size(); ++k) {
        std::size_t i = _slot_of(cells[k].key);
        while (slots[i].cell != NO_CELL) i = (i + 1) & mask;
        slots[i] = Slot{cells[k].key, k};
    }
}

void OverviewTable::reserve(std::size_t count) {
    cells.reserve(count);
    std::size_t slot_count = 256;
    while (slot_count < count * 2 + 2) slot_count *= 2;
    if (slot_count > slots.size()) _rehash(slot_count);
}

void OverviewTable::drop_index() {
    std::vector<Slot>().swap(slots);
    std::vector<Recent>().swap(recent);
    bits = 0;
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

OverviewResult::Slot& OverviewResult::_find(uint64_t key) {
    if ((keys.size() + 1) * 2 > slots.size()) _grow();
    const std::size_t mask = slots.size() - 1;
    const auto check = static_cast<uint32_t>(key ^ (key >> 32));
    std::size_t i = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits));
    while (slots[i].row != 0 && (slots[i].check != check || keys[slots[i].row - 1] != key)) i = (i + 1) & mask;
    return slots[i];
}

void OverviewResult::_grow() {
    // A row is held in 32 bits; more rows than that would be hundreds of
    // gigabytes of result.
    if (keys.size() >= UINT32_MAX / 2) throw std::length_error("an overview of more than 2 billion rows");
    slots.assign(slots.empty() ? 256 : slots.size() * 2, Slot{0, 0});
    bits = 0;
    while ((std::size_t{1} << bits) < slots.size()) ++bits;
    const std::size_t mask = slots.size() - 1;
    for (std::size_t k = 0; k < keys.size(); ++k) {
        const uint64_t key = keys[k];
        std::size_t i = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits));
        while (slots[i].row != 0) i = (i + 1) & mask;
        slots[i] = Slot{static_cast<uint32_t>(k + 1), static_cast<uint32_t>(key ^ (key >> 32))};
    }
}

void OverviewResult::merge_later(const OverviewTable& later) {
    for (const OverviewCell& other : later.cells_made()) {
        Slot& slot = _find(other.key);
        if (slot.row == 0) {
            slot = Slot{static_cast<uint32_t>(keys.size() + 1), static_cast<uint32_t>(other.key ^ (other.key >> 32))};
            keys.push_back(other.key);
            counts.push_back(other.count);
            sums.push_back(other.sum);
            mins.push_back(other.min);
            min_times.push_back(other.min_time);
            maxs.push_back(other.max);
            max_times.push_back(other.max_time);
            firsts.push_back(other.first);
            first_times.push_back(other.first_time);
            lasts.push_back(other.last);
            last_times.push_back(other.last_time);
            continue;
        }
        const std::size_t r = slot.row - 1;
        counts[r] += other.count;
        sums[r] += other.sum;
        if (other.min < mins[r]) {
            mins[r] = other.min;
            min_times[r] = other.min_time;
        }
        if (other.max > maxs[r]) {
            maxs[r] = other.max;
            max_times[r] = other.max_time;
        }
        lasts[r] = other.last;
        last_times[r] = other.last_time;
    }
}

namespace {

// A column of `order.size()` values of type T, row r being value_at(order[r]).
template <typename T, typename ValueAt>
OwnedColumn gathered(const char* name, const char* format, const std::vector<uint32_t>& order, ValueAt&& value_at) {
    OwnedColumn column{name, format, std::vector<uint8_t>(order.size() * sizeof(T))};
    uint8_t* out = column.bytes.data();
    for (std::size_t r = 0; r < order.size(); ++r) {
        const T value = value_at(order[r]);
        std::memcpy(out + r * sizeof(T), &value, sizeof(T));
    }
    return column;
}

template <typename T>
OwnedColumn gathered_from(const char* name, const char* format, const std::vector<uint32_t>& order,
                          std::vector<T>& field) {
    OwnedColumn column = gathered<T>(name, format, order, [&](uint32_t k) { return field[k]; });
    std::vector<T>().swap(field);
    return column;
}

}  // namespace

std::vector<OwnedColumn> OverviewResult::finish(const OverviewGrid& grid) {
    std::vector<Slot>().swap(slots);
    bits = 0;
    const std::size_t n = keys.size();
    // The rows' positions in key order: sorting (key, position) pairs and
    // then gathering each field once is several times faster than sorting
    // whole rows, and needs one column's room beside the fields.
    std::vector<uint32_t> order(n);
    {
        std::vector<std::pair<uint64_t, uint32_t>> by_key(n);
        for (std::size_t k = 0; k < n; ++k) by_key[k] = {keys[k], static_cast<uint32_t>(k)};
        std::sort(by_key.begin(), by_key.end());
        for (std::size_t k = 0; k < n; ++k) order[k] = by_key[k].second;
    }
    std::vector<OwnedColumn> out;
    out.reserve(13);
    out.push_back(gathered<uint16_t>("signal_id", "S", order, [&](uint32_t k) { return OverviewTable::id_of(keys[k]); }));
    out.push_back(gathered<uint16_t>("element", "S", order, [&](uint32_t k) { return OverviewTable::element_of(keys[k]); }));
    out.push_back(gathered<int64_t>("bucket", "tsn:", order,
                                    [&](uint32_t k) { return grid.start_of(OverviewTable::bucket_of(keys[k])); }));
    std::vector<uint64_t>().swap(keys);
    OwnedColumn mean = gathered<double>("mean", "g", order,
                                        [&](uint32_t k) { return sums[k] / static_cast<double>(counts[k]); });
    std::vector<double>().swap(sums);
    out.push_back(gathered_from("count", "l", order, counts));
    out.push_back(std::move(mean));
    out.push_back(gathered_from("min", "g", order, mins));
    out.push_back(gathered_from("min_time", "tsn:", order, min_times));
    out.push_back(gathered_from("max", "g", order, maxs));
    out.push_back(gathered_from("max_time", "tsn:", order, max_times));
    out.push_back(gathered_from("first", "g", order, firsts));
    out.push_back(gathered_from("first_time", "tsn:", order, first_times));
    out.push_back(gathered_from("last", "g", order, lasts));
    out.push_back(gathered_from("last_time", "tsn:", order, last_times));
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
