// What each of the 32 record classes is: one row per class, read by the
// decoder (how long the payload is), the value readers (what type its value
// is, in what format; see value_readers.h) and the writer (how its subtype is
// named). Nothing else in the library switches on a class number.
#pragma once

#include <cstdint>

#include "archive/item_format.h"

namespace zentrail {

// Class numbers, by name.
enum Class : int {
    System = 0, AlBool = 1, AlByte = 2, AlShort = 3, AlLong = 4, AlWord = 5, AlDWord = 6,
    AlFloat = 7, AlDouble = 8, AlTime = 9, AlLarge = 10, AlError = 11, AlString = 12,
    GrBool = 17, GrByte = 18, GrShort = 19, GrLong = 20, GrWord = 21, GrDWord = 22,
    GrFloat = 23, GrDouble = 24, GrTime = 25, GrLarge = 26, GrError = 27, AlAckn = 31,
};

enum class ClassKind : uint8_t {
    System,       // no id, no payload
    Alarm,        // a fixed payload after the id
    StringAlarm,  // a 16-bit text length and the text, which is skipped
    Group,        // the second byte counts elements of one width
    Reserved,     // never valid: a format error
};

// Data-type codes of a row: which accessor reads its values.
constexpr int32_t ROW_NO_VALUE = 1;
constexpr int32_t ROW_BOOL = 2;
constexpr int32_t ROW_INT = 3;
constexpr int32_t ROW_DOUBLE = 4;
constexpr int32_t ROW_TEXT = 5;

// How a value lies in the value area, least significant byte first.
enum class ValueFormat : uint8_t { None, Bit, U8, I16, U16, I32, F32, F64, I64 };

// How the writer names a subtype.
enum class SubtypeNames : uint8_t { System, Bool, Value, String, Ackn, Number };

struct RecordClass {
    ClassKind kind;
    // Alarms: the whole record's size (id and head included); groups: the
    // width of one element in the file; 0 otherwise.
    int32_t size;
    int32_t data_type;
    ValueFormat format;
    // Whether the second byte is the element count of the row.
    bool counts_elements;
    SubtypeNames subtypes;
};

namespace record_class_rows {
constexpr RecordClass system{ClassKind::System, 8, ROW_NO_VALUE, ValueFormat::None, false, SubtypeNames::System};
constexpr RecordClass reserved{ClassKind::Reserved, 0, ROW_TEXT, ValueFormat::None, true, SubtypeNames::Number};
constexpr RecordClass alarm(int32_t size, int32_t type, ValueFormat format) {
    return {ClassKind::Alarm, size, type, format, true, SubtypeNames::Value};
}
constexpr RecordClass group(int32_t width, int32_t type, ValueFormat format) {
    return {ClassKind::Group, width, type, format, true, SubtypeNames::Number};
}
}  // namespace record_class_rows

// Indexed by class number (the low five bits of an item code).
inline constexpr RecordClass RECORD_CLASSES[32] = {
    record_class_rows::system,
    {ClassKind::Alarm, 10, ROW_NO_VALUE, ValueFormat::None, false, SubtypeNames::Bool},  // AlBool
    record_class_rows::alarm(11, ROW_INT, ValueFormat::U8),      // AlByte
    record_class_rows::alarm(11, ROW_INT, ValueFormat::I16),     // AlShort
    record_class_rows::alarm(11, ROW_INT, ValueFormat::I32),     // AlLong
    record_class_rows::alarm(11, ROW_INT, ValueFormat::U16),     // AlWord
    record_class_rows::alarm(12, ROW_INT, ValueFormat::I32),     // AlDWord
    record_class_rows::alarm(12, ROW_DOUBLE, ValueFormat::F32),  // AlFloat
    record_class_rows::alarm(12, ROW_DOUBLE, ValueFormat::F64),  // AlDouble
    record_class_rows::alarm(12, ROW_DOUBLE, ValueFormat::F64),  // AlTime
    record_class_rows::alarm(12, ROW_DOUBLE, ValueFormat::I64),  // AlLarge
    record_class_rows::alarm(12, ROW_INT, ValueFormat::I16),     // AlError
    {ClassKind::StringAlarm, 10, ROW_TEXT, ValueFormat::None, true, SubtypeNames::String},  // AlString
    record_class_rows::reserved,
    record_class_rows::reserved,
    record_class_rows::reserved,
    record_class_rows::reserved,
    {ClassKind::Group, 1, ROW_BOOL, ValueFormat::Bit, true, SubtypeNames::Number},  // GrBool: one bit each
    record_class_rows::group(1, ROW_INT, ValueFormat::U8),       // GrByte
    record_class_rows::group(2, ROW_INT, ValueFormat::I16),      // GrShort
    record_class_rows::group(4, ROW_INT, ValueFormat::I32),      // GrLong
    record_class_rows::group(2, ROW_INT, ValueFormat::U16),      // GrWord
    record_class_rows::group(4, ROW_INT, ValueFormat::I32),      // GrDWord
    record_class_rows::group(4, ROW_DOUBLE, ValueFormat::F32),   // GrFloat
    record_class_rows::group(8, ROW_DOUBLE, ValueFormat::F64),   // GrDouble
    record_class_rows::group(8, ROW_TEXT, ValueFormat::None),    // GrTime
    record_class_rows::group(8, ROW_DOUBLE, ValueFormat::I64),   // GrLarge
    record_class_rows::group(2, ROW_TEXT, ValueFormat::None),    // GrError
    record_class_rows::reserved,
    record_class_rows::reserved,
    record_class_rows::reserved,
    // AlAckn: sized as AlLong; its value is never exported (no element count).
    {ClassKind::Alarm, 11, ROW_INT, ValueFormat::I32, false, SubtypeNames::Ackn},
};

// The class names, by class number; the last entry names any other number.
inline constexpr const char* CLASS_NAMES[33] = {
    "System",   "AlBool",   "AlByte",   "AlShort",  "AlLong",   "AlWord",   "AlDWord",
    "AlFloat",  "AlDouble", "AlTime",   "AlLarge",  "AlError",  "AlString", "-Res 13-",
    "-Res 14-", "-Res 15-", "-Res 16-", "GrBool",   "GrByte",   "GrShort",  "GrLong",
    "GrWord",   "GrDWord",  "GrFloat",  "GrDouble", "GrTime",   "GrLarge",  "GrError",
    "-Res 28-", "-Res 29-", "-Res 30-", "AlAckn",   "????????"};

inline const RecordClass& record_class_of(int code) { return RECORD_CLASSES[ARCLASS(code)]; }

// A group's payload in bytes for its element count: GrBool packs eight
// elements a byte and takes 32 bytes for a count of 0.
inline int32_t group_payload_size(int cls, int count) {
    if (cls == GrBool) return count == 0 ? 32 : (count + 7) / 8;
    return count * RECORD_CLASSES[cls].size;
}

// The reserved classes as one bitmask, so that the decoder's class check is
// one test.
constexpr uint32_t reserved_class_mask() {
    uint32_t mask = 0;
    for (int cls = 0; cls < 32; ++cls) {
        if (RECORD_CLASSES[cls].kind == ClassKind::Reserved) mask |= 1u << cls;
    }
    return mask;
}

// The rows agree with the size tables and the names.
namespace record_class_checks {
constexpr bool same_text(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}
constexpr bool sizes_agree() {
    for (int cls = 0; cls < 32; ++cls) {
        const RecordClass& c = RECORD_CLASSES[cls];
        if (c.kind == ClassKind::Group && c.size != GROUP_ITEM_SIZES[cls - AR_FIRST_GROUP_CLASS]) return false;
        if (c.kind != ClassKind::Group && c.kind != ClassKind::Reserved &&
            c.size != ALARM_SIZES[cls == AlAckn ? AlLong : cls]) {
            return false;
        }
        if ((c.kind == ClassKind::Group) != (cls >= GrBool && cls <= GrError)) return false;
        if ((c.kind == ClassKind::Reserved) != (CLASS_NAMES[cls][0] == '-')) return false;
    }
    return true;
}
constexpr bool names_agree() {
    struct Named { int cls; const char* name; };
    constexpr Named named[] = {
        {System, "System"},     {AlBool, "AlBool"},     {AlByte, "AlByte"},   {AlShort, "AlShort"},
        {AlLong, "AlLong"},     {AlWord, "AlWord"},     {AlDWord, "AlDWord"}, {AlFloat, "AlFloat"},
        {AlDouble, "AlDouble"}, {AlTime, "AlTime"},     {AlLarge, "AlLarge"}, {AlError, "AlError"},
        {AlString, "AlString"}, {GrBool, "GrBool"},     {GrByte, "GrByte"},   {GrShort, "GrShort"},
        {GrLong, "GrLong"},     {GrWord, "GrWord"},     {GrDWord, "GrDWord"}, {GrFloat, "GrFloat"},
        {GrDouble, "GrDouble"}, {GrTime, "GrTime"},     {GrLarge, "GrLarge"}, {GrError, "GrError"},
        {AlAckn, "AlAckn"}};
    for (const Named& n : named) {
        if (!same_text(CLASS_NAMES[n.cls], n.name)) return false;
    }
    return true;
}
static_assert(sizes_agree(), "a class row disagrees with ALARM_SIZES, GROUP_ITEM_SIZES or CLASS_NAMES");
static_assert(names_agree(), "the Class enumeration disagrees with CLASS_NAMES");
static_assert(reserved_class_mask() == 0x7001E000, "classes 13..16 and 28..30 are the reserved ones");
}  // namespace record_class_checks

}  // namespace zentrail
