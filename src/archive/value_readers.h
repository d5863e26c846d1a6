// How the values of each record class are read out of an item's value area:
// one row of readers per value format, and from it, made by the compiler,
// one row per class. Every typed read of a value goes through these rows.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "archive/item_format.h"
#include "archive/record_classes.h"

namespace zentrail {

// Each reads the value at position p of a value area: a group's element n
// lies at p = element_count - 1 - n, one width apart; an alarm's one value
// lies at the start, whatever p.
using BoolReader = bool (*)(const unsigned char* data, int p);
using IntReader = int32_t (*)(const unsigned char* data, int p);
using DoubleReader = double (*)(const unsigned char* data, int p);
using NumberReader = double (*)(const unsigned char* data, int p);
// The same value, read straight from the payload as the file stores it (the
// `size` bytes after the head, big-endian, in file order), so that a sink
// that reads a few values of a long payload need not reverse all of it: the
// value area is that payload reversed, so position p of a group of width w
// lies at payload + size - (p + 1) * w, and an alarm's value is the payload
// read as one big-endian number.
using StoredNumberReader = double (*)(const unsigned char* payload, int size, int p);

namespace value_reading {

template <std::size_t W> struct UnsignedOfWidth;
template <> struct UnsignedOfWidth<1> { using type = uint8_t; };
template <> struct UnsignedOfWidth<2> { using type = uint16_t; };
template <> struct UnsignedOfWidth<4> { using type = uint32_t; };
template <> struct UnsignedOfWidth<8> { using type = uint64_t; };

// The value of type T at byte offset `at`. The decoder reversed the payload,
// so values lie least significant byte first whatever the host's byte
// order; the bits are assembled, then copied into T.
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

// The big-endian number of n bytes (n at most sizeof(T)), copied into T.
template <typename T>
T stored_value_at(const unsigned char* bytes, int n) {
    using Bits = typename UnsignedOfWidth<sizeof(T)>::type;
    Bits bits = 0;
    if (n == static_cast<int>(sizeof(T))) {
        std::memcpy(&bits, bytes, sizeof bits);
        if constexpr (sizeof(T) == 2) bits = __builtin_bswap16(bits);
        if constexpr (sizeof(T) == 4) bits = __builtin_bswap32(bits);
        if constexpr (sizeof(T) == 8) bits = __builtin_bswap64(bits);
    } else {
        for (int i = 0; i < n; ++i) bits = static_cast<Bits>((bits << 8) | bytes[i]);
    }
    T v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

template <typename T, bool Grouped>
double stored_double_at(const unsigned char* payload, int size, int p) {
    constexpr int width = static_cast<int>(sizeof(T));
    if (Grouped) return static_cast<double>(stored_value_at<T>(payload + size - (p + 1) * width, width));
    return static_cast<double>(stored_value_at<T>(payload, size < width ? size : width));
}
inline double stored_bit_at(const unsigned char* payload, int size, int p) {
    return (payload[size - 1 - p / 8] >> (p % 8)) & 1;
}
inline double no_stored_number(const unsigned char*, int, int) { return std::nan(""); }

template <typename T, bool Grouped>
T typed_at(const unsigned char* data, int p) {
    return value_at<T>(data, Grouped ? p * static_cast<int>(sizeof(T)) : 0);
}
template <typename T, bool Grouped>
int32_t int_at(const unsigned char* data, int p) { return typed_at<T, Grouped>(data, p); }
template <typename T, bool Grouped>
double double_at(const unsigned char* data, int p) { return static_cast<double>(typed_at<T, Grouped>(data, p)); }
// Bits count from the least significant bit of the first byte.
inline bool bit_at(const unsigned char* data, int p) { return (data[p / 8] >> (p % 8)) & 1; }
inline double bit_number_at(const unsigned char* data, int p) { return bit_at(data, p); }

// The answers of a class without a value of the kind asked for.
inline bool no_bit(const unsigned char*, int) { return false; }
inline int32_t no_int(const unsigned char*, int) { return -1; }
inline double no_double(const unsigned char*, int) { return -1.0; }
inline double no_number(const unsigned char*, int) { return std::nan(""); }

// A format's readers; `number` reads its value as a double, whatever its type.
struct FormatReaders {
    int32_t width;      // bytes of one value; 0 for bits and for no value
    int32_t data_type;  // the row data type whose accessor reads it; 0 for no value
    BoolReader bit;
    IntReader int_value;
    DoubleReader double_value;
    NumberReader number;
    StoredNumberReader stored_number;  // `number`, from the stored payload
};
template <typename T, bool Grouped>
constexpr FormatReaders integer_format() {
    return {static_cast<int32_t>(sizeof(T)), ROW_INT, no_bit, int_at<T, Grouped>, no_double, double_at<T, Grouped>,
            stored_double_at<T, Grouped>};
}
template <typename T, bool Grouped>
constexpr FormatReaders real_format() {
    return {static_cast<int32_t>(sizeof(T)), ROW_DOUBLE, no_bit, no_int, double_at<T, Grouped>, double_at<T, Grouped>,
            stored_double_at<T, Grouped>};
}

constexpr std::size_t FORMAT_COUNT = static_cast<std::size_t>(ValueFormat::I64) + 1;

// Indexed by ValueFormat: the one place that says which C type each is.
// (The bound is written out: clang cannot index a variable template's array
// of deduced bound in a constant expression.)
template <bool Grouped>
inline constexpr FormatReaders FORMAT_READERS[FORMAT_COUNT] = {
    {0, 0, no_bit, no_int, no_double, no_number, no_stored_number},          // None
    {0, ROW_BOOL, bit_at, no_int, no_double, bit_number_at, stored_bit_at},  // Bit
    integer_format<uint8_t, Grouped>(),                             // U8
    integer_format<int16_t, Grouped>(),                             // I16
    integer_format<uint16_t, Grouped>(),                            // U16
    integer_format<int32_t, Grouped>(),                             // I32
    real_format<float, Grouped>(),                                  // F32
    real_format<double, Grouped>(),                                 // F64
    real_format<int64_t, Grouped>(),                                // I64: read as a double
};
// (Checked by width and data type: gcc with the sanitizers does not take a
// comparison of function addresses as a constant expression.)
static_assert(FORMAT_READERS<true>[FORMAT_COUNT - 1].width == 8 &&
                  FORMAT_READERS<true>[FORMAT_COUNT - 1].data_type == ROW_DOUBLE,
              "one row per value format, I64 the last");

constexpr const FormatReaders& format_readers_of(const RecordClass& c) {
    const auto f = static_cast<std::size_t>(c.format);
    return c.kind == ClassKind::Group ? FORMAT_READERS<true>[f] : FORMAT_READERS<false>[f];
}

}  // namespace value_reading

// A class's readers: get_bool true only for a set bit of GrBool; get_int the
// value of an integer format, else -1; get_double the value of F32, F64 or
// I64, else -1.0; number the value the accessor of the row's data type
// reads, as a double (0 or 1, an integer, a floating-point value), or NaN
// for a text row or one without a value.
struct ClassReaders {
    BoolReader get_bool;
    IntReader get_int;
    DoubleReader get_double;
    NumberReader number;
    StoredNumberReader stored_number;
};

namespace value_reading {
constexpr ClassReaders readers_of_class(const RecordClass& c) {
    const FormatReaders& f = format_readers_of(c);
    if (f.data_type == 0) return {f.bit, f.int_value, f.double_value, no_number, no_stored_number};
    return {f.bit, f.int_value, f.double_value, f.number, f.stored_number};
}

// A class's data type is the one its format is read as (a class without a
// value format has a text row or none), so that the number reader and the
// row's accessors agree; and a group's element width is its type's width.
constexpr bool formats_agree() {
    for (const RecordClass& c : RECORD_CLASSES) {
        const FormatReaders& f = format_readers_of(c);
        if (f.data_type == 0 ? c.data_type != ROW_TEXT && c.data_type != ROW_NO_VALUE : f.data_type != c.data_type) {
            return false;
        }
        if (c.kind == ClassKind::Group && f.width != 0 && f.width != c.size) return false;
    }
    return true;
}
static_assert(formats_agree(), "a class's data type or element width disagrees with its value format");

// Made by the compiler: nothing runs at start-up.
struct ClassReaderTable {
    ClassReaders by_class[32]{};
    constexpr ClassReaderTable() {
        for (int cls = 0; cls < 32; ++cls) by_class[cls] = readers_of_class(RECORD_CLASSES[cls]);
    }
};
}  // namespace value_reading

// Indexed by class number, as RECORD_CLASSES.
inline constexpr value_reading::ClassReaderTable CLASS_READERS;

inline const ClassReaders& class_readers_of(int code) { return CLASS_READERS.by_class[ARCLASS(code)]; }

// Chosen once per item, the number reader spares a sink that reads many
// values of one item the class lookup of each.
inline NumberReader number_reader_of(int code) { return class_readers_of(code).number; }
inline StoredNumberReader stored_number_reader_of(int code) { return class_readers_of(code).stored_number; }

// An item's values as numbers, read from its stored payload where the reader
// handed that on (then it need not copy the payload at all: see
// Parser::set_payload_classes), else from its value area. Chosen once per
// item; p is a value's position as NumberReader takes it.
class ItemNumbers {
public:
    explicit ItemNumbers(const ACI_WITH_DATE& item)
        : payload(item.payload),
          payload_size(item.payload_size),
          data(item.item.data),
          stored_at(stored_number_reader_of(item.item.code)),
          number_at(number_reader_of(item.item.code)) {}
    double operator()(int p) const {
        return payload != nullptr ? stored_at(payload, payload_size, p) : number_at(data, p);
    }

private:
    const unsigned char* payload;
    int payload_size;
    const unsigned char* data;
    StoredNumberReader stored_at;
    NumberReader number_at;
};

}  // namespace zentrail
