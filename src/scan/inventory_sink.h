// What an archive holds, from record heads alone: per signal id and class
// (and per day, when asked), how many records lie in a window, their first
// and last instants, the elements that give rows, and the files holding them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "archive/record_sink.h"
#include "time/bound.h"
#include "time/wall_clock.h"

namespace zentrail {

struct InventoryEntry {
    uint64_t key;        // see InventoryTable::key_of
    int64_t records;
    uint64_t first;      // archive timestamps (ns since 2000-01-01)
    uint64_t last;
    int32_t elements;
    int32_t files;
};

// An open-addressing table of entries by key: the result of a read, merged
// file by file (the counting of one file is InventorySink's own).
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

    // The entry of `key`, made empty (files 1) when new.
    InventoryEntry& at(uint64_t key) {
        if ((used + 1) * 2 > slots.size()) _grow();
        InventoryEntry& entry = _find(key);
        if (entry.key == NO_KEY) {
            entry = InventoryEntry{key, 0, UINT64_MAX, 0, 0, 1};
            ++used;
        }
        return entry;
    }
    // Adds the counts of `entry.key`: records and files sum, the instants
    // widen, the elements take the larger.
    void add(const InventoryEntry& entry);
    // Adds every entry of another table.
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
};

// The counts of one file: per day met (a single day 0 when not by day), a
// table by id and class of what a record changes, in 32-byte entries that
// each lie in one cache line. Made by an InventorySink; movable, so that a
// worker hands it on whole.
class FileInventory {
public:
    FileInventory();
    ~FileInventory();
    FileInventory(FileInventory&&) noexcept;
    FileInventory& operator=(FileInventory&&) noexcept;

    // Adds the counts to `table` as those of one more file: records sum,
    // the instants widen, the elements take the larger, files count one.
    void add_to(InventoryTable* table) const;

private:
    friend class InventorySink;
    class DayCounts;
    std::vector<std::unique_ptr<DayCounts>> days;
};

// The record sink of an inventory: every record the reader hands on (it
// reads with no filter and copies no payload) whose instant lies in the
// window counts.
//
// Counting is the whole cost of an inventory beside the decoding, and its
// cost is memory: thousands of (id, class) pairs in random order, a table
// that outgrows the nearer caches. So a record is noted in a short list,
// as few instructions as can be on the reader's path, and the list is
// counted at once, each entry fetched some records ahead of its use, so
// that the waits on memory overlap. A day's table is looked up once per run
// of records of that day, not once per record.
class InventorySink : public RecordSink {
public:
    // Counts into `counts`.
    InventorySink(FileInventory* counts, const InstantWindow& window, bool by_day);
    // Counts a file of its own and adds it to `table` on finish().
    InventorySink(InventoryTable* table, const InstantWindow& window, bool by_day);
    ~InventorySink() override;
    void export_value(ACI_WITH_DATE* item) override;
    bool takes_heads() const override { return true; }
    void export_heads(const RecordHead* heads, std::size_t count, uint32_t date) override;
    // Counts what was noted (and adds it to the table given); call once,
    // after the read.
    void finish();
    // Days are the days of `zone` (not owned), the instants' wall days
    // there; by default the instants' own (UTC or naive) days.
    void set_zone(const ZoneDays* zone) { this->zone = zone; }

private:
    const ZoneDays* zone = nullptr;
    // What counting a record needs, written field by field in place: a
    // whole record built elsewhere and copied in would read back a
    // half-written word and stall.
    struct Pending {
        uint32_t key;  // the elements << 21 | id << 5 | class
        uint32_t day;
        uint64_t ns;
    };
    static constexpr std::size_t PENDING = 1024;

    // Notes one record of instant ns (archive time).
    void _note(uint8_t code, uint8_t param, uint16_t id, uint64_t ns);
    void _count_pending();
    FileInventory::DayCounts& _counts_of(uint32_t day);

    FileInventory own;
    FileInventory* counts;
    InventoryTable* table = nullptr;
    InstantWindow window;
    bool by_day;
    std::unique_ptr<Pending[]> pending;
    std::size_t pending_count = 0;
    FileInventory::DayCounts* current = nullptr;  // the last day's table
};

}  // namespace zentrail
