// The named, typed view of one decoded archive item.
#pragma once

#include <cstdint>

#include "archive/item_format.h"
#include "archive/record_classes.h"
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
    bool get_bool(int p) const;
    int32_t get_int(int p) const;
    double get_double(int p) const;
    const char* get_string() const { return ""; }
    // The value at p as a number, whatever its type: 0 or 1, an integer
    // (exact in a double), a floating-point value, or NaN for a text row.
    double get_number(int p) const;

    const ACI_WITH_DATE* source;
    char lead_text1[255];
    char lead_text2[512];
    ADATETIME datetime;
    char class_name[255];
    char subtype_name[255];
    char detail[255];
    uint32_t id;
    int32_t element_count;
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

// Reads the value at position p of a value area as ArchiveRow::get_number
// does, for the class of an item code. Chosen once per item, it spares a sink
// that reads many values of one item the class lookup of each.
using NumberReader = double (*)(const unsigned char* data, int p);
NumberReader number_reader_of(int code);

// The row of an item with its date-time, id and element count, its texts
// left empty: for sinks that read only values.
ArchiveRow build_value_row(const ACI_WITH_DATE* item);
// The complete row: the same, with class and subtype names and the detail.
ArchiveRow build_named_row(const ACI_WITH_DATE* item);

}  // namespace zentrail
