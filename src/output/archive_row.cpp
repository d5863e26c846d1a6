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
T value_at(const unsigned char* data, int at) {
    using Bits = typename UnsignedOfWidth<sizeof(T)>::type;
    const unsigned char* bytes = data + at;
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

// The number readers: the value at position p of each format, as a double.
// A group's elements lie one width apart; an alarm's one value at the start.
template <typename T, bool Grouped>
double number_at(const unsigned char* data, int p) {
    return static_cast<double>(value_at<T>(data, Grouped ? p * static_cast<int>(sizeof(T)) : 0));
}
double bit_at(const unsigned char* data, int p) { return (data[p / 8] >> (p % 8)) & 1; }
template <int Answer>
double constant_number(const unsigned char*, int) { return Answer; }
double no_number(const unsigned char*, int) { return std::nan(""); }

template <typename T>
constexpr NumberReader reader_for(const RecordClass& c) {
    return c.kind == ClassKind::Group ? number_at<T, true> : number_at<T, false>;
}

// number_at's stride is the width of the value's type: so is each group's.
constexpr int format_width(ValueFormat f) {
    switch (f) {
        case ValueFormat::U8: return 1;
        case ValueFormat::I16: case ValueFormat::U16: return 2;
        case ValueFormat::I32: case ValueFormat::F32: return 4;
        case ValueFormat::F64: case ValueFormat::I64: return 8;
        default: return 0;
    }
}
constexpr bool group_strides_agree() {
    for (const RecordClass& c : RECORD_CLASSES) {
        if (c.kind == ClassKind::Group && format_width(c.format) != 0 && format_width(c.format) != c.size) return false;
    }
    return true;
}
static_assert(group_strides_agree(), "a group's element width is the width of its value's type");

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
        case ValueFormat::U8: return value_at<uint8_t>(source->item.data, at);
        case ValueFormat::I16: return value_at<int16_t>(source->item.data, at);
        case ValueFormat::U16: return value_at<uint16_t>(source->item.data, at);
        case ValueFormat::I32: return value_at<int32_t>(source->item.data, at);
        default: return -1;
    }
}

double ArchiveRow::get_double(int p) const {
    const RecordClass& c = record_class_of(source->item.code);
    const int at = offset_of(c, p);
    switch (c.format) {
        case ValueFormat::F32: return value_at<float>(source->item.data, at);
        case ValueFormat::F64: return value_at<double>(source->item.data, at);
        case ValueFormat::I64: return static_cast<double>(value_at<int64_t>(source->item.data, at));
        default: return -1.0;
    }
}

namespace {

// The same choices as get_bool, get_int and get_double make.
constexpr NumberReader choose_number_reader(const RecordClass& c) {
    switch (c.data_type) {
        case ROW_BOOL: return c.format == ValueFormat::Bit ? bit_at : constant_number<0>;
        case ROW_INT:
            switch (c.format) {
                case ValueFormat::U8: return reader_for<uint8_t>(c);
                case ValueFormat::I16: return reader_for<int16_t>(c);
                case ValueFormat::U16: return reader_for<uint16_t>(c);
                case ValueFormat::I32: return reader_for<int32_t>(c);
                default: return constant_number<-1>;
            }
        case ROW_DOUBLE:
            switch (c.format) {
                case ValueFormat::F32: return reader_for<float>(c);
                case ValueFormat::F64: return reader_for<double>(c);
                case ValueFormat::I64: return reader_for<int64_t>(c);
                default: return constant_number<-1>;
            }
        default: return no_number;
    }
}

// Made by the compiler: nothing runs at start-up.
struct NumberReaders {
    NumberReader by_class[32]{};
    constexpr NumberReaders() {
        for (int cls = 0; cls < 32; ++cls) by_class[cls] = choose_number_reader(RECORD_CLASSES[cls]);
    }
};
constexpr NumberReaders NUMBER_READERS;

}  // namespace

NumberReader number_reader_of(int code) { return NUMBER_READERS.by_class[ARCLASS(code)]; }

double ArchiveRow::get_number(int p) const {
    return number_reader_of(source->item.code)(source->item.data, p);
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
