#include "scan/overview_sink.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "output/selected_values.h"
#include "scan/column_batch.h"

namespace zentrail {

OverviewGrid::OverviewGrid(const InstantWindow& window, uint32_t count, WideNs lead) : lead(lead) {
    if (!window.open || count == 0) return;
    first_ns = window.first_ns;
    last_bucket = count - 1;
    // ceil((d + 1) / count) is d / count + 1 for every d; a width past 64
    // bits (a window of more than 2^64 instants in one bucket) puts every
    // instant in that bucket anyway.
    const WideNs d = WideNs{window.last_ns - window.first_ns} + lead;
    const WideNs wide = d / count + 1;
    width = wide > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(wide);
    const WideNs whole = lead / width;
    lead_buckets = whole > last_bucket ? uint64_t{last_bucket} + 1 : static_cast<uint64_t>(whole);
    lead_rest = static_cast<uint64_t>(lead % width);
}

OverviewGrid::OverviewGrid(int64_t origin, uint64_t width, uint32_t count)
    : width(width == 0 ? 1 : width), last_bucket(count == 0 ? 0 : count - 1) {
    // An origin before the archive's day 0 starts the buckets that far before
    // its first instant, as a window's start bound before 2000 does.
    // (The unsigned differences are exact: each is below 2^64.)
    if (origin >= ARCHIVE_EPOCH_UNIX_NS) {
        first_ns = static_cast<uint64_t>(origin) - static_cast<uint64_t>(ARCHIVE_EPOCH_UNIX_NS);
        return;
    }
    lead = static_cast<uint64_t>(ARCHIVE_EPOCH_UNIX_NS) - static_cast<uint64_t>(origin);
    const WideNs whole = lead / this->width;
    lead_buckets = whole > last_bucket ? uint64_t{last_bucket} + 1 : static_cast<uint64_t>(whole);
    lead_rest = static_cast<uint64_t>(lead % this->width);
}

OverviewGrid::OverviewGrid(std::vector<int64_t> starts)
    // Members are made in the order the class lists them: `starts` before
    // `last_bucket`, which must therefore count the member, not the argument
    // the member was moved from.
    : starts(std::move(starts)),
      last_bucket(this->starts.empty() ? 0 : static_cast<uint32_t>(this->starts.size() - 1)) {}

uint32_t OverviewGrid::_listed_bucket_of(uint64_t ns) const {
    const auto unix_ns = static_cast<int64_t>(ns) + ARCHIVE_EPOCH_UNIX_NS;
    const auto k = std::upper_bound(starts.begin(), starts.end(), unix_ns) - starts.begin();
    return k <= 1 ? 0 : static_cast<uint32_t>(k - 1);
}

int64_t OverviewGrid::start_of(uint32_t b) const {
    if (!starts.empty()) return starts[b];
    __extension__ using Signed = __int128;
    const Signed start = static_cast<Signed>(first_ns) - static_cast<Signed>(lead) +
                         static_cast<Signed>(b) * static_cast<Signed>(width) + ARCHIVE_EPOCH_UNIX_NS;
    // INT64_MIN is NaT to NumPy: the earliest start it holds is one later.
    if (start < static_cast<Signed>(INT64_MIN) + 1) return INT64_MIN + 1;
    if (start > static_cast<Signed>(INT64_MAX)) return INT64_MAX;
    return static_cast<int64_t>(start);
}

uint32_t OverviewTable::cell_for(uint64_t key, int64_t time, double value, uint32_t (&group_cells)[GROUP]) {
    if ((group_count + 1) * 2 > slots.size()) _rehash(slots.empty() ? 64 : slots.size() * 2);
    const uint64_t group_key = group_key_of(key);
    const std::size_t mask = slots.size() - 1;
    // A multiplicative hash: the top bits of the product mix every bit of
    // the key, and keys differ mostly in their low bits.
    std::size_t i = static_cast<std::size_t>((group_key * 0x9E3779B97F4A7C15ull) >> (64 - bits));
    while (slots[i].key != NO_KEY && slots[i].key != group_key) i = (i + 1) & mask;
    Group& group = slots[i];
    if (group.key == NO_KEY) {
        group.key = group_key;
        ++group_count;
    }
    uint32_t& at = group.cell[key & (GROUP - 1)];
    if (at == NO_CELL) {
        // A cell's position is held in 32 bits; a file of more cells would
        // be hundreds of gigabytes.
        if (cells.size() >= NO_CELL) throw std::length_error("a file of more than 4 billion overview cells");
        at = static_cast<uint32_t>(cells.size());
        cells.push_back(OverviewCell{key, 0, 0, value, time, value, time, value, time, value, time});
    }
    std::copy(std::begin(group.cell), std::end(group.cell), std::begin(group_cells));
    return at;
}

void OverviewTable::count_run(uint32_t at, const OverviewCell& run) {
    OverviewCell& cell = cells[at];
    if (cell.count == 0) {
        const double first = cell.first;
        const int64_t first_time = cell.first_time;
        cell = run;
        cell.first = first;
        cell.first_time = first_time;
        return;
    }
    cell.count += run.count;
    cell.sum = run.sum;
    if (run.min < cell.min) {
        cell.min = run.min;
        cell.min_time = run.min_time;
    }
    if (run.max > cell.max) {
        cell.max = run.max;
        cell.max_time = run.max_time;
    }
    cell.last = run.last;
    cell.last_time = run.last_time;
}

void OverviewTable::_rehash(std::size_t slot_count) {
    Group empty{NO_KEY, {}};
    std::fill(std::begin(empty.cell), std::end(empty.cell), NO_CELL);
    std::vector<Group> old(slot_count, empty);
    old.swap(slots);
    bits = 0;
    while ((std::size_t{1} << bits) < slots.size()) ++bits;
    const std::size_t mask = slots.size() - 1;
    for (const Group& group : old) {
        if (group.key == NO_KEY) continue;
        std::size_t i = static_cast<std::size_t>((group.key * 0x9E3779B97F4A7C15ull) >> (64 - bits));
        while (slots[i].key != NO_KEY) i = (i + 1) & mask;
        slots[i] = group;
    }
}

void OverviewTable::reserve(std::size_t cell_count, std::size_t group_total) {
    cells.reserve(cell_count);
    std::size_t slot_count = 64;
    while (slot_count < group_total * 2 + 2) slot_count *= 2;
    if (slot_count > slots.size()) _rehash(slot_count);
}

void OverviewTable::drop_index() {
    std::vector<Group>().swap(slots);
    group_count = 0;
    bits = 0;
}

OverviewResult::Slot& OverviewResult::_find(uint64_t key) {
    if ((keys.size() + 1) * 2 > slots.size()) _grow();
    const std::size_t mask = slots.size() - 1;
    const auto check = static_cast<uint32_t>(key ^ (key >> 32));
    std::size_t i = _home_of(key);
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
        std::size_t i = _home_of(key);
        while (slots[i].row != 0) i = (i + 1) & mask;
        slots[i] = Slot{static_cast<uint32_t>(k + 1), static_cast<uint32_t>(key ^ (key >> 32))};
    }
}

void OverviewResult::reserve(std::size_t rows) {
    keys.reserve(rows);
    counts.reserve(rows);
    sums.reserve(rows);
    mins.reserve(rows);
    min_times.reserve(rows);
    maxs.reserve(rows);
    max_times.reserve(rows);
    firsts.reserve(rows);
    first_times.reserve(rows);
    lasts.reserve(rows);
    last_times.reserve(rows);
}

void OverviewResult::merge_later(const OverviewTable& later) {
    const std::vector<OverviewCell>& cells = later.cells_made();
    // The index is far larger than the cache: each cell's slot is asked for
    // a few cells ahead, so that the slots arrive while earlier ones merge.
    constexpr std::size_t AHEAD = 8;
    for (std::size_t k = 0; k < cells.size(); ++k) {
        if (k + AHEAD < cells.size() && bits > 0) {
            __builtin_prefetch(&slots[_home_of(cells[k + AHEAD].key)]);
        }
        const OverviewCell& other = cells[k];
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
    // whole rows, and needs little room beside the fields. The columns of
    // the key itself are written straight from the sorted pairs.
    std::vector<OwnedColumn> out;
    out.reserve(13);
    std::vector<uint32_t> order(n);
    {
        std::vector<std::pair<uint64_t, uint32_t>> by_key(n);
        for (std::size_t k = 0; k < n; ++k) by_key[k] = {keys[k], static_cast<uint32_t>(k)};
        std::vector<uint64_t>().swap(keys);
        // Keys are unique: the position never decides.
        std::sort(by_key.begin(), by_key.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        OwnedColumn ids{"signal_id", "S", std::vector<uint8_t>(n * 2)};
        OwnedColumn elements{"element", "S", std::vector<uint8_t>(n * 2)};
        OwnedColumn buckets{"bucket", grid.time_format, std::vector<uint8_t>(n * 8)};
        for (std::size_t r = 0; r < n; ++r) {
            const uint64_t key = by_key[r].first;
            const uint16_t id = OverviewTable::id_of(key);
            const uint16_t element = OverviewTable::element_of(key);
            const int64_t start = grid.start_of(OverviewTable::bucket_of(key));
            std::memcpy(ids.bytes.data() + r * 2, &id, 2);
            std::memcpy(elements.bytes.data() + r * 2, &element, 2);
            std::memcpy(buckets.bytes.data() + r * 8, &start, 8);
            order[r] = by_key[r].second;
        }
        out.push_back(std::move(ids));
        out.push_back(std::move(elements));
        out.push_back(std::move(buckets));
    }
    OwnedColumn mean = gathered<double>("mean", "g", order,
                                        [&](uint32_t k) { return sums[k] / static_cast<double>(counts[k]); });
    std::vector<double>().swap(sums);
    out.push_back(gathered_from("count", "l", order, counts));
    out.push_back(std::move(mean));
    out.push_back(gathered_from("min", "g", order, mins));
    out.push_back(gathered_from("min_time", grid.time_format, order, min_times));
    out.push_back(gathered_from("max", "g", order, maxs));
    out.push_back(gathered_from("max_time", grid.time_format, order, max_times));
    out.push_back(gathered_from("first", "g", order, firsts));
    out.push_back(gathered_from("first_time", grid.time_format, order, first_times));
    out.push_back(gathered_from("last", "g", order, lasts));
    out.push_back(gathered_from("last_time", grid.time_format, order, last_times));
    return out;
}

OverviewSink::OverviewSink(const ReadPlan& plan, const OverviewGrid& grid, OverviewTable* table)
    : filter(plan.filter.get()), predicate(plan.row_predicate()), grid(grid), table(table), runs(std::size_t{1} << RUN_BITS, Run{OverviewCell{OverviewTable::NO_KEY, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, {}}) {}

OverviewSink::OverviewSink(const OverviewGrid& grid, OverviewTable* table)
    : filter(nullptr), predicate(nullptr), grid(grid), table(table),
      runs(std::size_t{1} << RUN_BITS, Run{OverviewCell{OverviewTable::NO_KEY, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, {}}) {}

void OverviewSink::flush() noexcept {
    for (Run& run : runs) {
        if (run.values.key == OverviewTable::NO_KEY) continue;
        table->count_run(run.cell, run.values);
        run.values.key = OverviewTable::NO_KEY;
    }
}

void OverviewSink::_add(uint64_t key, int64_t time, double value) {
    // The runs of an id's first elements lie side by side: a record's values
    // are mostly of consecutive elements, and touch neighbouring entries.
    const auto id_hash = static_cast<std::size_t>((uint64_t{OverviewTable::id_of(key)} * 0x9E3779B97F4A7C15ull) >>
                                                  (64 - (RUN_BITS - 2)));
    Run& run = runs[(id_hash << 2) | (OverviewTable::element_of(key) & 3u)];
    OverviewCell& v = run.values;
    if (v.key != key) {
        if (v.key != OverviewTable::NO_KEY) table->count_run(run.cell, v);
        constexpr uint32_t LAST = OverviewTable::GROUP - 1;
        const bool same_group =
            v.key != OverviewTable::NO_KEY && OverviewTable::group_key_of(v.key) == OverviewTable::group_key_of(key);
        const uint32_t known = same_group ? run.group[key & LAST] : OverviewTable::NO_CELL;
        if (known != OverviewTable::NO_CELL) {
            run.cell = known;
        } else {
            // Which may throw (no memory): the run is empty by then.
            v.key = OverviewTable::NO_KEY;
            run.cell = table->cell_for(key, time, value, run.group);
        }
        v = OverviewCell{key, 1, table->sum_of(run.cell) + value, value, time, value, time, value, time, value, time};
        if ((key & LAST) != LAST && run.group[(key & LAST) + 1] != OverviewTable::NO_CELL) {
            table->prefetch(run.group[(key & LAST) + 1]);
        }
        return;
    }
    ++v.count;
    v.sum += value;
    if (value < v.min) {
        v.min = value;
        v.min_time = time;
    }
    if (value > v.max) {
        v.max = value;
        v.max_time = time;
    }
    v.last = value;
    v.last_time = time;
}

void OverviewSink::export_value(ACI_WITH_DATE* item) {
    const AR_COMMON_ITEM& it = item->item;
    if (predicate != nullptr && !predicate->keeps_item(static_cast<uint8_t>(ARCLASS(it.code)),
                                                       static_cast<uint8_t>(ARSUBTYPE(it.code)))) {
        return;
    }
    const uint64_t ns = item_timestamp(item);
    const int64_t time = static_cast<int64_t>(ns) + ARCHIVE_EPOCH_UNIX_NS;
    const uint32_t id = static_cast<uint16_t>(it.id);
    const ItemNumbers number_at(*item);
    // The bucket is the item's, worked out once for all its values (a
    // division is the dearest step here), and only for an item that gives
    // a value: the window test comes first inside the rule.
    uint64_t base = UINT64_MAX;
    for_each_selected_value(
        item, *filter, [] {},
        [&](int n, int p) {
            if (predicate != nullptr && !predicate->keeps_element(n)) return;
            const double value = number_at(p);
            if (std::isnan(value)) return;
            if (base == UINT64_MAX) base = OverviewTable::key_of(id, 0, grid.bucket_of(ns));
            _add(base | (uint64_t{static_cast<uint32_t>(n)} << 32), time, value);
        });
}

void OverviewSink::count_row(uint16_t id, uint16_t element, int64_t time, double value) {
    if (std::isnan(value)) return;
    const auto ns = static_cast<uint64_t>(time - ARCHIVE_EPOCH_UNIX_NS);
    _add(OverviewTable::key_of(id, element, grid.bucket_of(ns)), time, value);
}

}  // namespace zentrail
