#include "scan/event_sink.h"

#include <cmath>

#include "archive/value_readers.h"
#include "output/archive_row.h"
#include "scan/column_batch.h"

namespace zentrail {

bool is_event_class(int cls) {
    const ClassKind kind = RECORD_CLASSES[cls & 0x1F].kind;
    return kind == ClassKind::Alarm || kind == ClassKind::StringAlarm;
}

uint32_t event_payload_classes() {
    uint32_t mask = 0;
    for (int cls = 0; cls < 32; ++cls) {
        if (RECORD_CLASSES[cls].kind == ClassKind::Alarm) mask |= 1u << cls;
    }
    return mask;
}

void EventSink::export_value(ACI_WITH_DATE* item) {
    if (item->error_item) return;
    const AR_COMMON_ITEM& it = item->item;
    const int cls = ARCLASS(it.code);
    if (cls == System) {
        if (!system) return;
    } else if (!is_event_class(cls) || (ids != nullptr && !(*ids)[it.id])) {
        return;
    }
    const uint64_t ns = item_timestamp(item);
    if (!window.open || ns < window.first_ns || ns > window.last_ns) return;
    out->time.push_back(static_cast<int64_t>(ns) + ARCHIVE_EPOCH_UNIX_NS);
    out->signal_id.push_back(static_cast<uint16_t>(row_id_of(it)));
    out->item_class.push_back(static_cast<uint8_t>(cls));
    out->subtype.push_back(static_cast<uint8_t>(ARSUBTYPE(it.code)));
    out->param.push_back(it.param);
    // The accessor of the class's data type at position 0, as a number;
    // NaN for a class without a number (system, AlBool, AlString).
    out->value.push_back(number_reader_of(it.code)(it.data, 0));
    if (RECORD_CLASSES[cls].kind == ClassKind::StringAlarm) {
        out->text_start.push_back(static_cast<int64_t>(out->texts.size()));
        out->text_length.push_back(item->text_length);
        if (item->text != nullptr) out->texts.append(reinterpret_cast<const char*>(item->text), static_cast<std::size_t>(item->text_length));
    } else {
        out->text_start.push_back(0);
        out->text_length.push_back(-1);
    }
}

}  // namespace zentrail
