#include "scan/inventory_sink.h"

#include <algorithm>

#include "archive/record_classes.h"
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
    for (const InventoryEntry& entry : old) {
        if (entry.key != NO_KEY) _find(entry.key) = entry;
    }
}

void InventoryTable::add(const InventoryEntry& entry) {
    if ((used + 1) * 2 > slots.size()) _grow();
    InventoryEntry& mine = _find(entry.key);
    if (mine.key == NO_KEY) {
        mine = entry;
        ++used;
        return;
    }
    mine.records += entry.records;
    mine.first = std::min(mine.first, entry.first);
    mine.last = std::max(mine.last, entry.last);
    mine.elements = std::max(mine.elements, entry.elements);
    mine.files += entry.files;
}

void InventoryTable::merge(const InventoryTable& other) {
    for (const InventoryEntry& entry : other.slots) {
        if (entry.key != NO_KEY) add(entry);
    }
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

namespace {

// A pending record's key: id << 5 | class below, the elements (at most 255:
// a second byte) above.
constexpr int ELEMENTS_SHIFT = 21;
constexpr uint32_t PAIR_MASK = (uint32_t{1} << ELEMENTS_SHIFT) - 1;

// How a class's records make their key, so that noting one takes no branch:
// (param & param_mask) << 21 | (id & id_mask) << 5 | constant. The elements
// are those that select a row: a value record's element count (its second
// byte), 1 for a text row, 0 for a record that gives no row; System records
// carry no id of their own and count under 0.
struct KeyRule {
    uint32_t param_mask;
    uint32_t id_mask;
    uint32_t constant;
};
struct KeyRules {
    KeyRule of[32];
};
constexpr KeyRules key_rules() {
    KeyRules rules{};
    for (uint32_t cls = 0; cls < 32; ++cls) {
        const RecordClass& c = RECORD_CLASSES[cls];
        const bool text = c.data_type == ROW_TEXT;
        rules.of[cls] = KeyRule{!text && c.counts_elements ? 0xFFu : 0u, cls == System ? 0u : 0xFFFFu,
                                (text ? 1u << ELEMENTS_SHIFT : 0u) | cls};
    }
    return rules;
}
constexpr KeyRules KEY_RULES = key_rules();

}  // namespace

// The counts of one day by id and class: open addressing, at most half
// full, each entry one aligned half of a cache line.
class FileInventory::DayCounts {
public:
    struct alignas(32) Entry {
        uint32_t pair;  // id << 5 | class
        int32_t elements;
        uint64_t records;
        uint64_t first;
        uint64_t last;
    };
    static constexpr uint32_t NO_PAIR = UINT32_MAX;

    explicit DayCounts(uint32_t day) : day(day) { _resize(1024); }

    void prefetch(uint32_t pair) const {
#if defined(__GNUC__)
        __builtin_prefetch(&slots[_slot_of(pair)], 1);
#endif
    }
    Entry& at(uint32_t pair) {
        for (;;) {
            std::size_t i = _slot_of(pair);
            while (slots[i].pair != pair && slots[i].pair != NO_PAIR) i = (i + 1) & mask;
            if (slots[i].pair == pair) return slots[i];
            if ((used + 1) * 2 <= slots.size()) {
                ++used;
                slots[i] = Entry{pair, 0, 0, UINT64_MAX, 0};
                return slots[i];
            }
            _resize(slots.size() * 2);
        }
    }
    void add_to(InventoryTable* table) const {
        for (const Entry& e : slots) {
            if (e.pair == NO_PAIR) continue;
            table->add(InventoryEntry{InventoryTable::key_of(day, e.pair >> 5, e.pair & 0x1F),
                                      static_cast<int64_t>(e.records), e.first, e.last, e.elements, 1});
        }
    }

    const uint32_t day;

private:
    // A multiplicative hash, as the result table's.
    std::size_t _slot_of(uint32_t pair) const { return (pair * 0x9E3779B1u) >> shift; }
    void _resize(std::size_t size) {
        std::vector<Entry> old = std::move(slots);
        slots.assign(size, Entry{NO_PAIR, 0, 0, 0, 0});
        mask = size - 1;
        shift = 32;
        while ((std::size_t{1} << (32 - shift)) < size) --shift;
        for (const Entry& e : old) {
            if (e.pair == NO_PAIR) continue;
            std::size_t i = _slot_of(e.pair);
            while (slots[i].pair != NO_PAIR) i = (i + 1) & mask;
            slots[i] = e;
        }
    }

    std::vector<Entry> slots;
    std::size_t mask = 0;
    int shift = 32;
    std::size_t used = 0;
};

FileInventory::FileInventory() = default;
FileInventory::~FileInventory() = default;
FileInventory::FileInventory(FileInventory&&) noexcept = default;
FileInventory& FileInventory::operator=(FileInventory&&) noexcept = default;

void FileInventory::add_to(InventoryTable* table) const {
    for (const auto& counts : days) counts->add_to(table);
}

InventorySink::InventorySink(FileInventory* counts, const InstantWindow& window, bool by_day)
    : counts(counts), window(window), by_day(by_day), pending(new Pending[PENDING]) {}

// Its own counts are pointed to from the body: in the initializers the sink
// is not yet an InventorySink, and naming a member of it there is undefined.
InventorySink::InventorySink(InventoryTable* table, const InstantWindow& window, bool by_day)
    : InventorySink(static_cast<FileInventory*>(nullptr), window, by_day) {
    counts = &own;
    this->table = table;
}

InventorySink::~InventorySink() = default;

inline void InventorySink::_note(uint8_t code, uint8_t param, uint16_t id, uint64_t ns) {
    if (!window.open || ns < window.first_ns || ns > window.last_ns) return;
    const KeyRule& rule = KEY_RULES.of[ARCLASS(code)];
    Pending& p = pending[pending_count];
    p.key = (param & rule.param_mask) << ELEMENTS_SHIFT | (id & rule.id_mask) << 5 | rule.constant;
    if (!by_day) {
        p.day = 0;
    } else if (zone == nullptr) {
        p.day = static_cast<uint32_t>(ns / NS_PER_DAY);
    } else {
        // A local day: the wall day of the instant (a table lookup). A wall
        // time before the archive's origin counts on its first day.
        const int64_t wall = zone->wall_of(static_cast<int64_t>(ns));
        p.day = wall < 0 ? 0 : static_cast<uint32_t>(static_cast<uint64_t>(wall) / NS_PER_DAY);
    }
    p.ns = ns;
    if (++pending_count == PENDING) _count_pending();
}

void InventorySink::export_value(ACI_WITH_DATE* item) {
    if (item->error_item) return;
    const AR_COMMON_ITEM& it = item->item;
    _note(it.code, it.param, it.id, item_timestamp(item));
}

void InventorySink::export_heads(const RecordHead* heads, std::size_t count, uint32_t date) {
    const uint64_t day_ns = code_date(static_cast<int32_t>(date));
    for (std::size_t i = 0; i < count; ++i) {
        const RecordHead& head = heads[i];
        _note(head.code, head.param, head.id, day_ns + code_time(head.ticks_hi, head.ticks_lo));
    }
}

FileInventory::DayCounts& InventorySink::_counts_of(uint32_t day) {
    if (current != nullptr && current->day == day) return *current;
    auto& days = counts->days;
    auto found = std::find_if(days.begin(), days.end(), [day](const auto& c) { return c->day == day; });
    if (found == days.end()) {
        days.push_back(std::make_unique<FileInventory::DayCounts>(day));
        found = days.end() - 1;
    }
    current = found->get();
    return *current;
}

void InventorySink::_count_pending() {
    // Far enough ahead that an entry has come from memory when its record's
    // turn comes, near enough that it is still in the first-level cache.
    constexpr std::size_t AHEAD = 16;
    const std::size_t n = pending_count;
    pending_count = 0;
    for (std::size_t start = 0; start < n;) {
        FileInventory::DayCounts& day = _counts_of(pending[start].day);
        std::size_t end = by_day ? start + 1 : n;
        while (end < n && pending[end].day == day.day) ++end;
        for (std::size_t i = start; i < end && i < start + AHEAD; ++i) day.prefetch(pending[i].key & PAIR_MASK);
        for (std::size_t i = start; i < end; ++i) {
            if (i + AHEAD < end) day.prefetch(pending[i + AHEAD].key & PAIR_MASK);
            const Pending& p = pending[i];
            FileInventory::DayCounts::Entry& entry = day.at(p.key & PAIR_MASK);
            ++entry.records;
            entry.first = std::min(entry.first, p.ns);
            entry.last = std::max(entry.last, p.ns);
            entry.elements = std::max(entry.elements, static_cast<int32_t>(p.key >> ELEMENTS_SHIFT));
        }
        start = end;
    }
}

void InventorySink::finish() {
    _count_pending();
    if (table != nullptr) own.add_to(table);
}

}  // namespace zentrail
