#include "output/archive_row.h"

#include <cstdio>
#include <cstring>

#include "output/names.h"

namespace zentrail {

namespace {

constexpr std::size_t TEXT_FIELD_SIZE = 255;

// The system-event text: module from the units digit, level from the tens.
void write_system_event_text(char* dst, int param) {
    int module = param % 10 < 7 ? param % 10 : 0;
    int level = param < 70 ? param / 10 : 0;
    std::snprintf(dst, TEXT_FIELD_SIZE, "%s%s", LOG_MODULE_DESCR_ARR[module], LOG_LEVEL_DESCR_ARR[level]);
}

void write_text(char* dst, const char* text) { std::snprintf(dst, TEXT_FIELD_SIZE, "%s", text); }
void write_number(char* dst, int value) { std::snprintf(dst, TEXT_FIELD_SIZE, "%i", value); }

const char* subtype_name(SubtypeNames names, int subtype) {
    switch (names) {
        case SubtypeNames::System: return get_arc_system_subtypes(subtype);
        case SubtypeNames::Bool: return get_arc_bool_subtypes(subtype);
        case SubtypeNames::Value: return get_arc_val_subtypes(subtype);
        case SubtypeNames::String: return get_str_al_subtypes(subtype);
        case SubtypeNames::Ackn: return get_arc_ack_subtypes(subtype);
        default: return nullptr;
    }
}

}  // namespace

ArchiveRow::ArchiveRow(const ACI_WITH_DATE* source)
    : source(source), datetime(), id(0), element_count(0) {
    lead_text1[0] = '\0';
    lead_text2[0] = '\0';
    class_name[0] = '\0';
    subtype_name[0] = '\0';
    detail[0] = '\0';
}

ArchiveRow build_value_row(const ACI_WITH_DATE* item) {
    ArchiveRow row(item);
    const AR_COMMON_ITEM& it = item->item;
    GTSTAMP stamp{item_timestamp(item)};
    decode_timestamp(&row.datetime, &stamp);
    row.id = row_id_of(it);
    row.element_count = row_element_count_of(it);
    return row;
}

ArchiveRow build_named_row(const ACI_WITH_DATE* item) {
    ArchiveRow row = build_value_row(item);
    const AR_COMMON_ITEM& it = item->item;
    const RecordClass& c = record_class_of(it.code);
    const int subtype = ARSUBTYPE(it.code);
    write_text(row.class_name, get_arc_class_name(it.code));
    if (c.kind == ClassKind::System) {
        write_system_event_text(row.detail, it.param);
    } else if (c.subtypes != SubtypeNames::Number) {
        write_number(row.detail, it.param);
    }
    if (const char* name = subtype_name(c.subtypes, subtype)) {
        write_text(row.subtype_name, name);
    } else if (subtype != 0) {
        write_number(row.subtype_name, subtype);
    }
    return row;
}

}  // namespace zentrail
