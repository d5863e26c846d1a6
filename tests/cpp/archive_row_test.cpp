// Rows built from decoded items: names, detail, counts, types and values.
#include "output/archive_row.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive_bytes.h"
#include "output/names.h"

namespace {

using namespace zentrail::testing;
using zentrail::ACI_WITH_DATE;
using zentrail::ArchiveRow;

ArchiveRow row_of(const ACI_WITH_DATE& a) { return zentrail::build_named_row(&a); }

struct RowCase {
    int cls, subtype, param, id;
    const char* class_name;
    const char* subtype_name;
    const char* detail;
    uint32_t row_id;
    int element_count;
    int data_type;
};

TEST(ArchiveRowFields, OneRowPerClassFamily) {
    const RowCase cases[] = {
        {System, 2, 4, 77, "System", "Archive events", "BlockUnknown", 0, -1, 1},
        {System, 5, 0, 0, "System", "????", "Unknown", 0, -1, 1},
        {AlBool, 1, 3, 8, "AlBool", "L->H", "3", 8, -1, 1},
        {AlByte, 1, 2, 300, "AlByte", "Hi", "2", 300, 2, 3},
        {AlByte, 0, 0, 300, "AlByte", "Lo", "0", 300, 0, 3},
        {AlShort, 2, 1, 1, "AlShort", "LoLo", "1", 1, 1, 3},
        {AlLong, 3, 1, 1, "AlLong", "HiHi", "1", 1, 1, 3},
        {AlWord, 4, 2, 1, "AlWord", "data", "2", 1, 2, 3},
        {AlDWord, 5, 1, 1, "AlDWord", "?5??", "1", 1, 1, 3},
        {AlFloat, 6, 1, 1, "AlFloat", "?6??", "1", 1, 1, 4},
        {AlDouble, 7, 1, 1, "AlDouble", "?7??", "1", 1, 1, 4},
        {AlTime, 0, 1, 1, "AlTime", "Lo", "1", 1, 1, 4},
        {AlLarge, 1, 1, 1, "AlLarge", "Hi", "1", 1, 1, 4},
        {AlError, 0, 1, 1, "AlError", "Lo", "1", 1, 1, 3},
        {AlString, 7, 1, 12, "AlString", "SYST", "1", 12, 1, 5},
        {AlAckn, 0, 2, 7, "AlAckn", "Lo/L", "2", 7, -1, 3},
        {AlAckn, 1, 200, 7, "AlAckn", "Hi/H", "200", 7, -1, 3},
        {GrBool, 0, 10, 9, "GrBool", "", "", 9, 10, 2},
        {GrByte, 3, 255, 65535, "GrByte", "3", "", 65535, 255, 3},
        {GrShort, 7, 1, 1, "GrShort", "7", "", 1, 1, 3},
        {GrLong, 0, 1, 1, "GrLong", "", "", 1, 1, 3},
        {GrWord, 0, 3, 5, "GrWord", "", "", 5, 3, 3},
        {GrDWord, 1, 1, 1, "GrDWord", "1", "", 1, 1, 3},
        {GrFloat, 0, 2, 4, "GrFloat", "", "", 4, 2, 4},
        {GrDouble, 0, 1, 1, "GrDouble", "", "", 1, 1, 4},
        {GrTime, 0, 1, 6, "GrTime", "", "", 6, 1, 5},
        {GrLarge, 0, 1, 1, "GrLarge", "", "", 1, 1, 4},
        {GrError, 2, 0, 1, "GrError", "2", "", 1, 0, 5},
    };
    for (const RowCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "class " << c.cls << " subtype " << c.subtype << " param " << c.param);
        const ACI_WITH_DATE a = decoded_item(c.cls, c.subtype, c.param, c.id);
        const ArchiveRow row = row_of(a);
        EXPECT_STREQ(row.class_name, c.class_name);
        EXPECT_STREQ(row.subtype_name, c.subtype_name);
        EXPECT_STREQ(row.detail, c.detail);
        EXPECT_EQ(row.id, c.row_id);
        EXPECT_EQ(row.element_count, c.element_count);
        EXPECT_EQ(row.get_JSON_data_type(), c.data_type);
        EXPECT_STREQ(row.get_string(), "");
    }
}

TEST(ArchiveRowFields, SystemEventText) {
    const std::pair<int, const char*> cases[] = {{0, "Unknown"}, {4, "BlockUnknown"}, {54, "BlockWarning"},
                                                 {61, "OsError"}, {69, "Error"},       {70, "Unknown"},
                                                 {255, "ArchiveUnknown"}, {36, "IODriverVerbose"}, {7, "Unknown"}};
    for (const auto& [param, text] : cases) {
        SCOPED_TRACE(param);
        EXPECT_STREQ(row_of(decoded_item(System, 1, param, 0)).detail, text);
    }
}

TEST(ArchiveRowFields, DateTimeFromDayAndTicks) {
    struct Case {
        uint32_t day;
        uint64_t tod;
        int expected[7];
    } const cases[] = {
        {8826, time_of_day(12, 34, 56, 789012345), {2024, 3, 1, 12, 34, 56, 789012345}},
        {8825, time_of_day(23, 59, 59, 999999999), {2024, 2, 29, 23, 59, 59, 999999999}},
        {8826, time_of_day(24, 0, 1), {2024, 3, 2, 0, 0, 1, 0}},  // a whole day or more moves on
        {0, 0, {2000, 1, 1, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "day " << c.day << " tod " << c.tod);
        ACI_WITH_DATE a = decoded_item(GrWord, 0, 1, 5, {0, 1});
        a.date = c.day;
        a.item.ticks_hi = static_cast<uint16_t>(c.tod >> 32);
        a.item.ticks_lo = static_cast<uint32_t>(c.tod);
        const zentrail::ADATETIME t = row_of(a).datetime;
        const int got[7] = {t.year, t.month, t.day, t.hour, t.minute, t.second, t.nanos};
        for (int i = 0; i < 7; ++i) EXPECT_EQ(got[i], c.expected[i]) << "field " << i;
    }
}

enum Accessor { Int, Double, Bool };

struct ValueCase {
    int cls, param;
    std::vector<uint8_t> file_payload;
    Accessor accessor;
    std::vector<double> by_position;  // expected at positions 0, 1, ...; bools as 0 / 1
};

TEST(ArchiveRowValues, ReadByClassWidthAndPosition) {
    const ValueCase cases[] = {
        {GrWord, 3, {0x00, 0x0A, 0x00, 0x14, 0x00, 0x1E}, Int, {30, 20, 10}},
        {GrWord, 1, {0xFF, 0xFF}, Int, {65535}},
        {GrShort, 2, {0x12, 0x34, 0xFF, 0xFF}, Int, {-1, 0x1234}},
        {GrDWord, 2, {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x02}, Int, {2, -1}},
        {GrLong, 2, {0x80, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04}, Int, {0x01020304, INT32_MIN}},
        {GrByte, 2, {0xFF, 0x01}, Int, {1, 255}},
        {GrLarge, 1, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFB}, Double, {-5.0}},
        {GrLarge, 2, {0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7}, Double, {7.0, 4294967296.0}},
        {GrFloat, 2, {0x3F, 0xC0, 0x00, 0x00, 0xBE, 0x80, 0x00, 0x00}, Double, {-0.25, 1.5}},
        {GrDouble, 2, {0x40, 0x09, 0x21, 0xFB, 0x54, 0x44, 0x2D, 0x18, 0xBF, 0xF0, 0, 0, 0, 0, 0, 0}, Double,
         {-1.0, 3.141592653589793}},
        // Alarms read one value at the start of the value area, whatever the position.
        {AlByte, 2, {0x07}, Int, {7, 7}},
        {AlShort, 1, {0xFF, 0xFE}, Int, {-2}},
        {AlLong, 1, {0xFF, 0xFF, 0xFF, 0xFD}, Int, {-3}},
        {AlWord, 2, {0xFF, 0xFF}, Int, {65535, 65535}},
        {AlDWord, 1, {0xFF, 0xFF, 0xFF, 0xFF}, Int, {-1}},
        {AlError, 1, {0x80, 0x00}, Int, {-32768}},
        {AlAckn, 1, {0x00, 0x01, 0x00, 0x00}, Int, {65536}},
        {AlFloat, 3, {0x3F, 0xC0, 0x00, 0x00}, Double, {1.5, 1.5, 1.5}},
        {AlDouble, 1, {0xBF, 0xF0, 0, 0, 0, 0, 0, 0}, Double, {-1.0}},
        {AlTime, 1, {0x40, 0x00, 0, 0, 0, 0, 0, 0}, Double, {2.0}},
        {AlLarge, 1, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFB}, Double, {-5.0}},
        // Classes without a value of the kind asked for.
        {GrTime, 1, {0x40, 0x00, 0, 0, 0, 0, 0, 0}, Double, {-1.0}},
        {GrWord, 1, {0x00, 0x01}, Double, {-1.0}},
        {AlFloat, 1, {0x3F, 0xC0, 0x00, 0x00}, Int, {-1}},
        {GrFloat, 1, {0x3F, 0xC0, 0x00, 0x00}, Int, {-1}},
        {GrBool, 8, {0xFF}, Int, {-1}},
        {AlBool, 1, {0xFF}, Bool, {0}},
        {GrByte, 1, {0xFF}, Bool, {0}},
        {AlString, 1, {0xFF}, Double, {-1.0}},
    };
    for (const ValueCase& c : cases) {
        const ACI_WITH_DATE a = decoded_item(c.cls, 0, c.param, 1, c.file_payload);
        const ArchiveRow row = row_of(a);
        for (int p = 0; p < static_cast<int>(c.by_position.size()); ++p) {
            SCOPED_TRACE(::testing::Message() << "class " << c.cls << " position " << p);
            const double expected = c.by_position[static_cast<std::size_t>(p)];
            switch (c.accessor) {
                case Int: EXPECT_EQ(row.get_int(p), static_cast<int32_t>(expected)); break;
                case Double: EXPECT_EQ(row.get_double(p), expected); break;
                case Bool: EXPECT_EQ(row.get_bool(p), expected != 0); break;
            }
        }
    }
}

TEST(ArchiveRowValues, GrBoolBitsCountFromTheLastFileByte) {
    const ACI_WITH_DATE a = decoded_item(GrBool, 0, 10, 9, {0x02, 0x01});
    const ArchiveRow row = row_of(a);
    for (int p = 0; p < 16; ++p) EXPECT_EQ(row.get_bool(p), p == 0 || p == 9) << "position " << p;
}

// What visit_value handed on: the type's row data type and the value.
struct Visited {
    int32_t type = 0;
    double value = 0;
    void operator()(bool v) { type = zentrail::ROW_BOOL, value = v; }
    void operator()(int32_t v) { type = zentrail::ROW_INT, value = v; }
    void operator()(double v) { type = zentrail::ROW_DOUBLE, value = v; }
};

// For every class: the visit hands on a value of the row's data type, and the
// number reader reads that same value (NaN where the row has no value).
TEST(ArchiveRowValues, VisitAndNumberReaderFollowTheRowsDataType) {
    const std::vector<uint8_t> payload = {0x81, 0xF2, 0x03, 0x04, 0x45, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C,
                                          0x0D, 0x0E, 0x0F, 0x10};
    for (int cls = 0; cls < 32; ++cls) {
        const ACI_WITH_DATE a = decoded_item(cls, 0, 2, 1, payload);
        const ArchiveRow row = row_of(a);
        const zentrail::NumberReader number = zentrail::number_reader_of(a.item.code);
        for (int p = 0; p < 2; ++p) {
            SCOPED_TRACE(::testing::Message() << "class " << cls << " position " << p);
            const int32_t type = row.get_JSON_data_type();
            if (type != zentrail::ROW_BOOL && type != zentrail::ROW_INT && type != zentrail::ROW_DOUBLE) {
                EXPECT_THROW(row.visit_value(p, Visited{}), std::logic_error);
                EXPECT_TRUE(std::isnan(number(a.item.data, p)));
                continue;
            }
            Visited visited;
            row.visit_value(p, visited);
            EXPECT_EQ(visited.type, type);
            EXPECT_EQ(number(a.item.data, p), visited.value);
        }
    }
}

using Lookup = const char* (*)(int);

TEST(NameTables, SubtypeLookupsClampToTheLastEntry) {
    const struct {
        Lookup lookup;
        std::vector<std::string> names;
    } tables[] = {
        {zentrail::get_arc_system_subtypes, {"Date Mark", "Executive events", "Archive events", "????"}},
        {zentrail::get_arc_bool_subtypes, {"H->L", "L->H", "?2??", "?3??", "?4??", "?5??", "?6??", "?7??", "????"}},
        {zentrail::get_arc_val_subtypes, {"Lo", "Hi", "LoLo", "HiHi", "data", "?5??", "?6??", "?7??", "????"}},
        {zentrail::get_arc_ack_subtypes, {"Lo/L", "Hi/H", "LoLo", "HiHi", "?4??", "?5??", "?6??", "?7??", "????"}},
        {zentrail::get_str_al_subtypes, {"Norm", "LogF", "Arch", "User", "?4??", "?5??", "?6??", "SYST", "????"}},
    };
    for (const auto& t : tables) {
        const int last = static_cast<int>(t.names.size()) - 1;
        for (int i = -2; i <= 12; ++i) {
            SCOPED_TRACE(::testing::Message() << t.names[0] << " table, index " << i);
            EXPECT_EQ(t.lookup(i), t.names[static_cast<std::size_t>(i < 0 || i > last ? last : i)]);
        }
    }
}

TEST(NameTables, ClassNameUsesTheLowFiveBits) {
    const std::pair<int, const char*> cases[] = {
        {0, "System"}, {12, "AlString"}, {13, "-Res 13-"}, {17, "GrBool"}, {27, "GrError"},
        {30, "-Res 30-"}, {31, "AlAckn"}, {32, "System"}, {0xF5, "GrWord"}, {0x22, "AlByte"}};
    for (const auto& [code, name] : cases) EXPECT_STREQ(zentrail::get_arc_class_name(code), name) << code;
}

}  // namespace
