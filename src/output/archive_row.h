// The named, typed view of one decoded archive item.
#pragma once

#include <cstdint>
#include <stdexcept>

#include "archive/item_format.h"
#include "archive/record_classes.h"
#include "archive/value_readers.h"
#include "time/calendar.h"

namespace zentrail {

class ArchiveRow {
public:
    explicit ArchiveRow(const ACI_WITH_DATE* source);

    int32_t get_JSON_data_type() const { return record_class_of(source->item.code).data_type; }
    // Accessors take a position p in the value area (a group's element n is
    // at position element_count - 1 - n); alarm classes ignore p and read
    // their one value. Classes without a value of the kind answer false,
    // -1 or -1.0.
    bool get_bool(int p) const { return readers().get_bool(source->item.data, p); }
    int32_t get_int(int p) const { return readers().get_int(source->item.data, p); }
    double get_double(int p) const { return readers().get_double(source->item.data, p); }
    const char* get_string() const { return ""; }

    // Hands sink(v) the value at p as the accessor of the row's data type
    // reads it: a bool, an int32_t or a double. A sink prints or converts
    // each type by overloading, so that this is the one place that picks
    // an accessor by data type. Only rows of those three types have values.
    template <typename Sink>
    void visit_value(int p, Sink&& sink) const {
        switch (get_JSON_data_type()) {
            case ROW_BOOL: sink(get_bool(p)); break;
            case ROW_INT: sink(get_int(p)); break;
            case ROW_DOUBLE: sink(get_double(p)); break;
            default: throw std::logic_error("Not implemented!");
        }
    }

    const ACI_WITH_DATE* source;
    char lead_text1[255];
    char lead_text2[512];
    ADATETIME datetime;
    char class_name[255];
    char subtype_name[255];
    char detail[255];
    uint32_t id;
    int32_t element_count;

private:
    const ClassReaders& readers() const { return class_readers_of(source->item.code); }
};

// The timestamp of an item: the start of its day plus its time of day.
inline uint64_t item_timestamp(const ACI_WITH_DATE* item) {
    return code_date(static_cast<int32_t>(item->date)) + code_time(item->item.ticks_hi, item->item.ticks_lo);
}
// The id and the element count of an item's row (system events have no id;
// -1 counts no elements).
inline uint32_t row_id_of(const AR_COMMON_ITEM& it) { return ARCLASS(it.code) == System ? 0 : it.id; }
inline int32_t row_element_count_of(const AR_COMMON_ITEM& it) {
    return record_class_of(it.code).counts_elements ? it.param : -1;
}

// The row of an item with its date-time, id and element count, its texts
// left empty: for sinks that read only values.
ArchiveRow build_value_row(const ACI_WITH_DATE* item);
// The complete row: the same, with class and subtype names and the detail.
ArchiveRow build_named_row(const ACI_WITH_DATE* item);

}  // namespace zentrail
