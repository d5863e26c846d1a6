// The events of an archive: one row per alarm record (classes AlBool to
// AlString, and AlAckn) and per system record, with its code, second byte,
// the value read would give at position 0, and a string alarm's text.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/record_sink.h"
#include "time/bound.h"

namespace zentrail {

// The rows of one file's events, column by column.
struct EventBatch {
    std::vector<int64_t> time;  // ns since 1970-01-01, naive wall-clock time
    std::vector<uint16_t> signal_id;
    std::vector<uint8_t> item_class;
    std::vector<uint8_t> subtype;
    std::vector<uint8_t> param;
    std::vector<double> value;
    // Each row's text as [text_start, text_start + text_length) of `texts`;
    // text_length -1 for a row without one.
    std::vector<int64_t> text_start;
    std::vector<int32_t> text_length;
    std::string texts;

    std::size_t rows() const { return time.size(); }
};

// The classes whose records are events: the alarms, with or without a value.
bool is_event_class(int cls);
// A payload mask for Parser::set_payload_classes: the event classes'.
uint32_t event_payload_classes();

class EventSink : public RecordSink {
public:
    // `ids` (borrowed; null for every id) selects the alarms by signal id;
    // `system` whether system records are rows.
    EventSink(EventBatch* out, const InstantWindow& window, const std::bitset<65536>* ids, bool system)
        : out(out), window(window), ids(ids), system(system) {}
    void export_value(ACI_WITH_DATE* item) override;

private:
    EventBatch* out;
    InstantWindow window;
    const std::bitset<65536>* ids;
    bool system;
};

}  // namespace zentrail
