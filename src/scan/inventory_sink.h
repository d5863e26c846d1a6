// What an archive holds, from record heads alone: per signal id and class
// (and per day, when asked), how many records lie in a window, their first
// and last instants, the elements that give rows, and the files holding them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "output/writer.h"
#include "time/bound.h"

namespace zentrail {

struct InventoryEntry {
    uint64_t key;        // see InventoryTable::key_of
    int64_t records;
    uint64_t first;      // archive timestamps (ns since 2000-01-01)
    uint64_t last;
    int32_t elements;
    int32_t files;
};

// An open-addressing table of entries by key: records of one id and class
// come in long runs, so the last entry found is tried first.
class InventoryTable {
public:
    static constexpr uint64_t NO_KEY = UINT64_MAX;

    // Day (0 when not by day), id and class in one key, ordered as the rows.
    static uint64_t key_of(uint64_t day, uint32_t id, uint32_t cls) {
        return (day << 21) | (uint64_t{id} << 5) | cls;
    }
    static uint64_t day_of(uint64_t key) { return key >> 21; }
    static uint32_t id_of(uint64_t key) { return static_cast<uint32_t>((key >> 5) & 0xFFFF); }
    static uint32_t class_of(uint64_t key) { return static_cast<uint32_t>(key & 0x1F); }

    // A hint that `key` will be looked up soon.
    void prefetch(uint64_t key) const {
#if defined(__GNUC__)
        if (!slots.empty()) __builtin_prefetch(&slots[_slot_of(key)], 1);
#endif
    }
    // The entry of `key`, made empty (files 1) when new.
    InventoryEntry& at(uint64_t key) {
        if (last != nullptr && last->key == key) return *last;
        if ((used + 1) * 2 > slots.size()) _grow();
        InventoryEntry& entry = _find(key);
        if (entry.key == NO_KEY) {
            entry = InventoryEntry{key, 0, UINT64_MAX, 0, 0, 1};
            ++used;
        }
        last = &entry;
        return entry;
    }
    // Adds another table's counts: records and files sum, the instants
    // widen, the elements take the larger.
    void merge(const InventoryTable& other);
    // The entries in ascending key order.
    std::vector<InventoryEntry> sorted() const;
    std::size_t size() const { return used; }

private:
    std::size_t _slot_of(uint64_t key) const {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits));
    }
    InventoryEntry& _find(uint64_t key);
    void _grow();

    std::vector<InventoryEntry> slots;
    std::size_t used = 0;
    int bits = 0;  // slots.size() is 1 << bits
    InventoryEntry* last = nullptr;
};

// The record sink of an inventory: every record the reader hands on (it
// reads with no filter and copies no payload) whose instant lies in the
// window counts in the table. Records are noted in a short list and counted
// a list at a time, each table entry fetched a few records ahead: with
// thousands of ids the table outgrows the cache, and looking each record up
// as it comes would wait on memory once per record.
class InventorySink : public Writer {
public:
    InventorySink(InventoryTable* table, const InstantWindow& window, bool by_day)
        : table(table), window(window), by_day(by_day), pending(new Pending[PENDING]) {}
    void export_value(ACI_WITH_DATE* item) override;
    // Counts the records noted but not yet counted; call after the read.
    void finish();

    // The largest count of element indices that select a row of the item:
    // a value record's element count, 1 for a text row, 0 for no row.
    static int32_t elements_of(const AR_COMMON_ITEM& it);

private:
    // Written field by field in place: a whole record built elsewhere and
    // copied in would read back a half-written word and stall.
    struct Pending {
        uint64_t key;
        uint64_t ns;
        int64_t elements;
    };
    static constexpr std::size_t PENDING = 1024;

    InventoryTable* table;
    InstantWindow window;
    bool by_day;
    std::unique_ptr<Pending[]> pending;
    std::size_t pending_count = 0;
};

}  // namespace zentrail
