#include "output/archive_row.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "output/names.h"

namespace zentrail {

namespace {

template <std::size_t W> struct UnsignedOfWidth;
template <> struct UnsignedOfWidth<1> { using type = uint8_t; };
template <> struct UnsignedOfWidth<2> { using type = uint16_t; };
template <> struct UnsignedOfWidth<4> { using type = uint32_t; };
template <> struct UnsignedOfWidth<8> { using type = uint64_t; };

// The value of type T at byte offset `at` of the value area. The decoder
// reversed the payload, so values lie least significant byte first whatever
// the host's byte order; the bits are assembled, then copied into T.
template <typename T>
T value_at(const ACI_WITH_DATE* source, int at) {
    using Bits = typename UnsignedOfWidth<sizeof(T)>::type;
    const unsigned char* bytes = source->item.data + at;
    Bits bits = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) bits |= static_cast<Bits>(Bits{bytes[i]} << (8 * i));
    T v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// Where the value at position p starts: a group's elements lie one width
// apart, an alarm's one value at the start.
int offset_of(const RecordClass& c, int p) { return c.kind == ClassKind::Group ? p * c.size : 0; }

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

bool ArchiveRow::get_bool(int p) const {
    if (record_class_of(source->item.code).format != ValueFormat::Bit) return false;
    return (source->item.data[p / 8] >> (p % 8)) & 1;
}

int32_t ArchiveRow::get_int(int p) const {
    const RecordClass& c = record_class_of(source->item.code);
    const int at = offset_of(c, p);
    switch (c.format) {
        case ValueFormat::U8: return value_at<uint8_t>(source, at);
        case ValueFormat::I16: return value_at<int16_t>(source, at);
        case ValueFormat::U16: return value_at<uint16_t>(source, at);
        case ValueFormat::I32: return value_at<int32_t>(source, at);
        default: return -1;
    }
}

double ArchiveRow::get_double(int p) const {
    const RecordClass& c = record_class_of(source->item.code);
    const int at = offset_of(c, p);
    switch (c.format) {
        case ValueFormat::F32: return value_at<float>(source, at);
        case ValueFormat::F64: return value_at<double>(source, at);
        case ValueFormat::I64: return static_cast<double>(value_at<int64_t>(source, at));
        default: return -1.0;
    }
}

double ArchiveRow::get_number(int p) const {
    switch (get_JSON_data_type()) {
        case ROW_BOOL: return get_bool(p) ? 1.0 : 0.0;
        case ROW_INT: return get_int(p);
        case ROW_DOUBLE: return get_double(p);
        default: return std::nan("");
    }
}

ArchiveRow build_value_row(const ACI_WITH_DATE* item) {
    ArchiveRow row(item);
    row.element_count = -1;
    const AR_COMMON_ITEM& it = item->item;
    GTSTAMP stamp{code_date(static_cast<int32_t>(item->date)) + code_time(it.ticks_hi, it.ticks_lo)};
    decode_timestamp(&row.datetime, &stamp);
    if (ARCLASS(it.code) == System) return row;
    row.id = it.id;
    if (record_class_of(it.code).counts_elements) row.element_count = it.param;
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
