#include "scan/inventory_sink.h"

#include <algorithm>

#include "output/archive_row.h"
#include "time/calendar.h"

namespace zentrail {

InventoryEntry& InventoryTable::_find(uint64_t key) {
    const std::size_t mask = slots.size() - 1;
    // A multiplicative hash: the top bits of the product mix every bit of
    // the key, and keys differ mostly in their low bits.
    std::size_t i = _slot_of(key);
    while (slots[i].key != key && slots[i].key != NO_KEY) i = (i + 1) & mask;
    return slots[i];
}

void InventoryTable::_grow() {
    std::vector<InventoryEntry> old = std::move(slots);
    slots.assign(old.empty() ? 64 : old.size() * 2, InventoryEntry{NO_KEY, 0, 0, 0, 0, 0});
    bits = 0;
    while ((std::size_t{1} << bits) < slots.size()) ++bits;
    last = nullptr;
    for (const InventoryEntry& entry : old) {
        if (entry.key != NO_KEY) _find(entry.key) = entry;
    }
}

void InventoryTable::merge(const InventoryTable& other) {
    for (const InventoryEntry& entry : other.slots) {
        if (entry.key == NO_KEY) continue;
        if ((used + 1) * 2 > slots.size()) _grow();
        InventoryEntry& mine = _find(entry.key);
        if (mine.key == NO_KEY) {
            mine = entry;
            ++used;
            continue;
        }
        mine.records += entry.records;
        mine.first = std::min(mine.first, entry.first);
        mine.last = std::max(mine.last, entry.last);
        mine.elements = std::max(mine.elements, entry.elements);
        mine.files += entry.files;
    }
    last = nullptr;
}

std::vector<InventoryEntry> InventoryTable::sorted() const {
    std::vector<InventoryEntry> out;
    out.reserve(used);
    for (const InventoryEntry& entry : slots) {
        if (entry.key != NO_KEY) out.push_back(entry);
    }
    std::sort(out.begin(), out.end(), [](const InventoryEntry& a, const InventoryEntry& b) { return a.key < b.key; });
    return out;
}

int32_t InventorySink::elements_of(const AR_COMMON_ITEM& it) {
    if (record_class_of(it.code).data_type == ROW_TEXT) return 1;
    return std::max<int32_t>(0, row_element_count_of(it));
}

void InventorySink::export_value(ACI_WITH_DATE* item) {
    if (item->error_item) return;
    const uint64_t ns = item_timestamp(item);
    if (!window.open || ns < window.first_ns || ns > window.last_ns) return;
    const AR_COMMON_ITEM& it = item->item;
    const uint64_t day = by_day ? ns / NS_PER_DAY : 0;
    Pending& p = pending[pending_count];
    p.key = InventoryTable::key_of(day, row_id_of(it), static_cast<uint32_t>(ARCLASS(it.code)));
    p.ns = ns;
    p.elements = elements_of(it);
    if (++pending_count == PENDING) finish();
}

void InventorySink::finish() {
    constexpr std::size_t AHEAD = 32;
    const std::size_t n = pending_count;
    for (std::size_t i = 0; i < n && i < AHEAD; ++i) table->prefetch(pending[i].key);
    for (std::size_t i = 0; i < n; ++i) {
        if (i + AHEAD < n) table->prefetch(pending[i + AHEAD].key);
        const Pending& p = pending[i];
        InventoryEntry& entry = table->at(p.key);
        ++entry.records;
        entry.first = std::min(entry.first, p.ns);
        entry.last = std::max(entry.last, p.ns);
        entry.elements = std::max(entry.elements, static_cast<int32_t>(p.elements));
    }
    pending_count = 0;
}

}  // namespace zentrail
