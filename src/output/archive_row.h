// The named, typed view of one decoded archive item.
#pragma once

#include <cstdint>

#include "archive/item_format.h"
#include "time/calendar.h"

namespace zentrail {

// Data-type codes: which accessor reads a row's values.
constexpr int32_t ROW_NO_VALUE = 1;
constexpr int32_t ROW_BOOL = 2;
constexpr int32_t ROW_INT = 3;
constexpr int32_t ROW_DOUBLE = 4;
constexpr int32_t ROW_TEXT = 5;

class ArchiveRow {
public:
    explicit ArchiveRow(const ACI_WITH_DATE* source);

    int32_t get_JSON_data_type() const;
    // Accessors take a position p in the value area (a group's element n is
    // at position element_count - 1 - n); alarm classes ignore p and read
    // their one value. Classes without a value of the kind answer false,
    // -1 or -1.0.
    bool get_bool(int p) const;
    int32_t get_int(int p) const;
    double get_double(int p) const;
    const char* get_string() const { return ""; }

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

}  // namespace zentrail
