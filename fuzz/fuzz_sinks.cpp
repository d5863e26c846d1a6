// Arbitrary bytes as one archive file, under arbitrary windows and ids: the
// inventory sink (fed by a reader that copies no payload) and the event sink
// (fed by a reader that copies alarm payloads and keeps texts) must agree
// with a plain reference fed by a reader that copies everything: a list of
// every item's head, value and text, counted and filtered by hand.
//
// Input: one byte choosing the window, one byte of ids (bit k selects id k;
// 0 selects every id), one byte of flags (bit 0: by day; bit 1: system
// records), then the file's bytes.
#include <algorithm>
#include <bitset>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "archive/parser.h"
#include "archive/read_errors.h"
#include "archive/record_sink.h"
#include "archive/value_readers.h"
#include "output/archive_row.h"
#include "scan/column_batch.h"
#include "scan/event_sink.h"
#include "scan/inventory_sink.h"
#include "scratch_file.h"
#include "time/calendar.h"

namespace {

using namespace zentrail;

struct Item {
    uint64_t ns;
    uint16_t id;
    int cls;
    int subtype;
    int param;
    double value;
    std::string text;
};

// Every item but the error item, as it was handed on.
class Everything : public RecordSink {
public:
    void export_value(ACI_WITH_DATE* item) override {
        if (item->error_item) return;
        const AR_COMMON_ITEM& it = item->item;
        Item out{item_timestamp(item), static_cast<uint16_t>(row_id_of(it)), ARCLASS(it.code), ARSUBTYPE(it.code),
                 it.param, number_reader_of(it.code)(it.data, 0), std::string()};
        if (ARCLASS(it.code) == AlString && item->text != nullptr) {
            out.text.assign(reinterpret_cast<const char*>(item->text), static_cast<std::size_t>(item->text_length));
        }
        items.push_back(out);
    }
    std::vector<Item> items;
};

const InstantWindow WINDOWS[] = {
    {true, 0, UINT64_MAX},
    {true, 8826 * NS_PER_DAY + 12 * 3600 * NS_PER_SECOND, 8826 * NS_PER_DAY + 13 * 3600 * NS_PER_SECOND - 1},
    {true, 0, 0},
    {false, 0, 0},
    {true, NS_PER_DAY, UINT64_MAX},
};

// Reads the file with `parser` into `sink`; the offset of a format error, or -1.
int64_t read_into(Parser& parser, RecordSink* sink, const std::string& path) {
    try {
        parser.read_file(sink, path);
    } catch (const FileFormatError& e) {
        return e.offset;
    }
    return -1;
}

bool same_number(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "%s differs from the reference\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const InstantWindow window = WINDOWS[data[0] % (sizeof WINDOWS / sizeof WINDOWS[0])];
    std::bitset<65536> ids;
    for (int k = 0; k < 8; ++k) {
        if ((data[1] >> k) & 1) ids.set(static_cast<std::size_t>(k));
    }
    const bool every_id = data[1] == 0;
    const bool by_day = (data[2] & 1) != 0;
    const bool system = (data[2] & 2) != 0;
    const std::string path = fuzz_support::scratch_file();
    fuzz_support::write_file(path, data + 3, size - 3);

    static Parser full(nullptr);
    full.set_keep_texts(true);
    Everything reference;
    const int64_t full_error = read_into(full, &reference, path);

    static Parser heads(nullptr);
    heads.set_payload_classes(0);
    InventoryTable table;
    InventorySink inventory(&table, window, by_day);
    if (read_into(heads, &inventory, path) != full_error) fail("the inventory reader's error");
    inventory.finish();

    static Parser alarms(nullptr);
    alarms.set_payload_classes(event_payload_classes());
    alarms.set_keep_texts(true);
    EventBatch events;
    EventSink event_sink(&events, window, every_id ? nullptr : &ids, system);
    if (read_into(alarms, &event_sink, path) != full_error) fail("the event reader's error");

    // The inventory, counted by hand.
    std::map<uint64_t, std::tuple<int64_t, uint64_t, uint64_t, int32_t>> counted;
    std::vector<Item> expected_events;
    for (const Item& item : reference.items) {
        if (!window.open || item.ns < window.first_ns || item.ns > window.last_ns) continue;
        const RecordClass& c = RECORD_CLASSES[item.cls];
        const int32_t elements = c.data_type == ROW_TEXT ? 1 : (c.counts_elements ? item.param : 0);
        const uint64_t key = InventoryTable::key_of(by_day ? item.ns / NS_PER_DAY : 0, item.id, item.cls);
        auto found = counted.find(key);
        if (found == counted.end()) {
            counted[key] = {1, item.ns, item.ns, elements};
        } else {
            auto& [records, first, last, most] = found->second;
            ++records;
            first = std::min(first, item.ns);
            last = std::max(last, item.ns);
            most = std::max(most, elements);
        }
        const bool alarm = c.kind == ClassKind::Alarm || c.kind == ClassKind::StringAlarm;
        if (item.cls == System ? system : alarm && (every_id || ids[item.id])) expected_events.push_back(item);
    }
    const std::vector<InventoryEntry> entries = table.sorted();
    if (entries.size() != counted.size()) fail("the inventory's row count");
    std::size_t k = 0;
    for (const auto& [key, counts] : counted) {
        const InventoryEntry& e = entries[k++];
        const auto& [records, first, last, most] = counts;
        if (e.key != key || e.records != records || e.first != first || e.last != last || e.elements != most ||
            e.files != 1) {
            fail("an inventory row");
        }
    }

    if (events.rows() != expected_events.size()) fail("the event count");
    for (std::size_t r = 0; r < events.rows(); ++r) {
        const Item& item = expected_events[r];
        const bool has_text = item.cls == AlString;
        if (events.time[r] != static_cast<int64_t>(item.ns) + ARCHIVE_EPOCH_UNIX_NS || events.signal_id[r] != item.id ||
            events.item_class[r] != item.cls || events.subtype[r] != item.subtype || events.param[r] != item.param ||
            !same_number(events.value[r], RECORD_CLASSES[item.cls].kind == ClassKind::Alarm ? item.value : std::nan("")) ||
            (events.text_length[r] >= 0) != has_text ||
            (has_text && events.texts.compare(static_cast<std::size_t>(events.text_start[r]),
                                              static_cast<std::size_t>(events.text_length[r]), item.text) != 0)) {
            fail("an event row");
        }
    }
    return 0;
}
