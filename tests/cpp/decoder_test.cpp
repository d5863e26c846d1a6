// The record decoder, run over a test-owned window with no file behind it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "archive/parser.h"
#include "archive_bytes.h"

namespace zentrail {
namespace {

using namespace zentrail::testing;
using Bytes = std::vector<uint8_t>;

constexpr int kMalformed = -1;  // expected size of a record that is a format error
constexpr uint8_t kFill = 0xEE;  // what the item held before the record

Bytes counting(int n, uint8_t first = 1) {
    Bytes b(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) b[static_cast<size_t>(i)] = static_cast<uint8_t>(first + i);
    return b;
}

class Decoder : public ::testing::Test {
protected:
    void SetUp() override { std::memset(&item, kFill, sizeof item); }

    // The window ends after `cut` bytes, but the storage past its end still
    // holds the rest of `bytes`: a read past the end would find them.
    void load(const Bytes& bytes, size_t cut = SIZE_MAX) {
        cut = std::min(cut, bytes.size());
        buf.shift(buf.get_length());
        buf.extend(bytes.data(), static_cast<int>(bytes.size()));
        buf.shift(buf.get_length());
        buf.extend(bytes.data(), static_cast<int>(cut));
    }
    int next() { return parser._read_next_item_from_data(&buf, &day, &item); }

    Parser parser{nullptr};
    Buffer buf;
    AR_COMMON_ITEM item;
    unsigned day = 0;
};

TEST_F(Decoder, WorkedAlByteItem) {
    ArchiveBytes a;
    a.alarm(time_of_day(0, 0, 1), AlByte, 0, 1, 7, {0x2A});
    ASSERT_EQ(a.bytes, (Bytes{0x00, 0x00, 0x3B, 0x9A, 0xCA, 0x00, 0x02, 0x01, 0x00, 0x07, 0x2A}));
    load(a.bytes);
    ASSERT_EQ(next(), AR_ITEM);
    EXPECT_EQ(buf.position(), 11);
    EXPECT_EQ(item.ticks_hi, 0);
    EXPECT_EQ(item.ticks_lo, 1000000000u);
    EXPECT_EQ(item.code, 2);
    EXPECT_EQ(item.param, 1);
    EXPECT_EQ(item.id, 7);
    EXPECT_EQ(item.data[0], 0x2A);
}

// Every class with param 3: the whole record size, or a format error.
struct ClassCase {
    int cls;
    int size;
};

class DecoderClass : public Decoder, public ::testing::WithParamInterface<ClassCase> {};

TEST_P(DecoderClass, RecordSize) {
    const ClassCase c = GetParam();
    const bool alarm = c.cls <= AlError || c.cls == AlAckn;
    const int payload = c.cls == AlString ? 0 : c.size - 10;
    for (int subtype : {0, 1, 7}) {
        SCOPED_TRACE("subtype " + std::to_string(subtype));
        SetUp();
        ArchiveBytes a;
        if (c.cls == System) {
            a.system(time_of_day(1, 2, 3), subtype, 3);
        } else if (c.cls == AlString) {
            a.string_alarm(time_of_day(1, 2, 3), subtype, 3, 500, "hello");
        } else {
            a.head(time_of_day(1, 2, 3), c.cls, subtype, 3).u16(500).raw(counting(c.size == kMalformed ? 8 : payload));
        }
        a.system(time_of_day(4, 5, 6), 0, 0);
        load(a.bytes);

        if (c.size == kMalformed) {
            EXPECT_EQ(next(), AR_FORMAT_ERROR);
            EXPECT_EQ(buf.position(), 7);  // stopped after the code byte
            EXPECT_EQ(item.code, ARCODE(c.cls, subtype));
            EXPECT_EQ(item.ticks_lo, static_cast<uint32_t>(time_of_day(1, 2, 3)));
            EXPECT_EQ(item.param, kFill);
            continue;
        }
        ASSERT_EQ(next(), AR_ITEM);
        EXPECT_EQ(buf.position(), c.size);
        EXPECT_EQ(item.code, ARCODE(c.cls, subtype));
        EXPECT_EQ(item.param, 3);
        EXPECT_EQ(item.id, c.cls == System ? 0xEEEE : 500);
        EXPECT_EQ(item.string_size, c.cls == AlString ? 6 : int32_t(0xEEEEEEEE));
        // The payload lies reversed; an alarm's value area is zero up to 8
        // bytes, and everything past that is as the item held it.
        for (int i = 0; i < 512; ++i) {
            uint8_t want = i < payload ? static_cast<uint8_t>(payload - i) : (alarm && i < 8) ? 0 : kFill;
            ASSERT_EQ(item.data[i], want) << "value area byte " << i;
        }
        ASSERT_EQ(next(), AR_ITEM);
        EXPECT_EQ(buf.position(), c.size + 8);
        EXPECT_EQ(item.ticks_lo, static_cast<uint32_t>(time_of_day(4, 5, 6)));
    }
}

INSTANTIATE_TEST_SUITE_P(
    AllClasses, DecoderClass,
    ::testing::Values(ClassCase{System, 8}, ClassCase{AlBool, 10}, ClassCase{AlByte, 11}, ClassCase{AlShort, 11},
                      ClassCase{AlLong, 11}, ClassCase{AlWord, 11}, ClassCase{AlDWord, 12}, ClassCase{AlFloat, 12},
                      ClassCase{AlDouble, 12}, ClassCase{AlTime, 12}, ClassCase{AlLarge, 12}, ClassCase{AlError, 12},
                      ClassCase{AlString, 17}, ClassCase{13, kMalformed}, ClassCase{14, kMalformed},
                      ClassCase{15, kMalformed}, ClassCase{16, kMalformed}, ClassCase{GrBool, 11},
                      ClassCase{GrByte, 13}, ClassCase{GrShort, 16}, ClassCase{GrLong, 22}, ClassCase{GrWord, 16},
                      ClassCase{GrDWord, 22}, ClassCase{GrFloat, 22}, ClassCase{GrDouble, 34},
                      ClassCase{GrTime, 34}, ClassCase{GrLarge, 34}, ClassCase{GrError, 16},
                      ClassCase{28, kMalformed}, ClassCase{29, kMalformed}, ClassCase{30, kMalformed},
                      ClassCase{AlAckn, 11}),
    [](const auto& info) { return "Class" + std::to_string(info.param.cls); });

// Group payloads on both sides of the 512-byte limit, and GrBool's bit count.
struct GroupCase {
    int cls;
    uint8_t count;
    int payload;  // kMalformed: a format error
};

class DecoderGroup : public Decoder, public ::testing::WithParamInterface<GroupCase> {};

TEST_P(DecoderGroup, PayloadSize) {
    const GroupCase c = GetParam();
    ArchiveBytes a;
    a.group(time_of_day(0, 0, 0), c.cls, 0, c.count, 77, counting(c.payload == kMalformed ? 600 : c.payload));
    load(a.bytes);
    if (c.payload == kMalformed) {
        EXPECT_EQ(next(), AR_FORMAT_ERROR);
        EXPECT_EQ(buf.position(), 10);  // stopped after the id
        EXPECT_EQ(item.param, c.count);
        EXPECT_EQ(item.id, 77);
        EXPECT_EQ(item.data[0], kFill);
        return;
    }
    ASSERT_EQ(next(), AR_ITEM);
    EXPECT_EQ(buf.position(), 10 + c.payload);
    EXPECT_EQ(next(), AR_END_OF_DATA);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, DecoderGroup,
    ::testing::Values(GroupCase{GrDouble, 64, 512}, GroupCase{GrDouble, 65, kMalformed},
                      GroupCase{GrTime, 64, 512}, GroupCase{GrTime, 65, kMalformed},
                      GroupCase{GrLarge, 64, 512}, GroupCase{GrLarge, 65, kMalformed},
                      GroupCase{GrLong, 128, 512}, GroupCase{GrLong, 129, kMalformed},
                      GroupCase{GrDWord, 128, 512}, GroupCase{GrDWord, 129, kMalformed},
                      GroupCase{GrFloat, 128, 512}, GroupCase{GrFloat, 129, kMalformed},
                      GroupCase{GrShort, 255, 510}, GroupCase{GrWord, 255, 510}, GroupCase{GrError, 255, 510},
                      GroupCase{GrByte, 255, 255}, GroupCase{GrByte, 0, 0}, GroupCase{GrDouble, 0, 0},
                      GroupCase{GrBool, 0, 32}, GroupCase{GrBool, 1, 1}, GroupCase{GrBool, 8, 1},
                      GroupCase{GrBool, 9, 2}, GroupCase{GrBool, 255, 32}));

TEST_F(Decoder, StringAlarmTextIsSkipped) {
    for (int length : {0, 300, 65535}) {
        SCOPED_TRACE("text length " + std::to_string(length));
        SetUp();
        ArchiveBytes a;
        a.string_alarm(0, 0, 0, 12, std::string(static_cast<size_t>(length), 'A')).system(0, 0, 0);
        load(a.bytes);
        ASSERT_EQ(next(), AR_ITEM);
        EXPECT_EQ(buf.position(), 12 + length);
        EXPECT_EQ(item.string_size, length + 1);
        EXPECT_EQ(Bytes(item.data, item.data + 512), Bytes(512, kFill));
        EXPECT_EQ(next(), AR_ITEM);
        EXPECT_EQ(next(), AR_END_OF_DATA);
    }
}

TEST_F(Decoder, DateMarksSetTheDay) {
    ArchiveBytes a;
    a.date_mark(300);
    ASSERT_EQ(a.bytes, (Bytes{0x80, 0x00, 0x00, 0x00, 0x01, 0x2C}));
    a.alarm(5, AlByte, 0, 1, 1, {0x01}).date_mark(1).date_mark(2).date_mark(65535).system(6, 0, 0).date_mark(9);
    load(a.bytes);
    ASSERT_EQ(next(), AR_ITEM);
    EXPECT_EQ(day, 300u);
    EXPECT_EQ(item.ticks_lo, 5u);
    ASSERT_EQ(next(), AR_ITEM);
    EXPECT_EQ(day, 65535u);  // the last of several in a row
    EXPECT_EQ(item.ticks_lo, 6u);
    EXPECT_EQ(next(), AR_END_OF_DATA);
    EXPECT_EQ(day, 9u);  // a date mark at the end still counts
}

TEST_F(Decoder, MalformedDateMarks) {
    struct {
        uint16_t high;
        uint32_t low;
    } cases[] = {{0x8000, 65536}, {0x8001, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.high);
        day = 42;
        load(ArchiveBytes().u16(c.high).u32(c.low).bytes);
        EXPECT_EQ(next(), AR_FORMAT_ERROR);
        EXPECT_EQ(day, 42u);
        EXPECT_EQ(item.ticks_hi, c.high);  // the fields read stay in the item
        EXPECT_EQ(item.ticks_lo, c.low);
    }
}

TEST_F(Decoder, EndByteStaysUnread) {
    load({});
    EXPECT_EQ(next(), AR_END_OF_DATA);

    ArchiveBytes a;
    a.system(0, 0, 0).end_byte().system(0, 0, 0);
    load(a.bytes);
    EXPECT_EQ(next(), AR_ITEM);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(next(), AR_END_OF_DATA);
        EXPECT_EQ(buf.position(), 8);
        EXPECT_EQ(buf.byte_top(), AR_END_BYTE);
    }
}

TEST_F(Decoder, AlarmValueAreaIsClearedBeforePayload) {
    ArchiveBytes a;
    a.group(0, GrLarge, 0, 1, 1, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88})
        .alarm(0, AlShort, 0, 0, 2, {0x2A})
        .alarm(0, AlDWord, 0, 0, 3, {0x12, 0x34});
    load(a.bytes);
    ASSERT_EQ(next(), AR_ITEM);
    ASSERT_EQ(next(), AR_ITEM);
    EXPECT_EQ(Bytes(item.data, item.data + 9), (Bytes{0x2A, 0, 0, 0, 0, 0, 0, 0, kFill}));
    int16_t short_value;
    std::memcpy(&short_value, item.data, sizeof short_value);
    EXPECT_EQ(short_value, 42);
    ASSERT_EQ(next(), AR_ITEM);
    EXPECT_EQ(Bytes(item.data, item.data + 9), (Bytes{0x34, 0x12, 0, 0, 0, 0, 0, 0, kFill}));
    uint32_t dword_value;
    std::memcpy(&dword_value, item.data, sizeof dword_value);
    EXPECT_EQ(dword_value, 0x1234u);
}

TEST_F(Decoder, FieldsNotCarriedAreKept) {
    ArchiveBytes a;
    a.string_alarm(0, 0, 0, 7, "abc").system(0, 0, 0).alarm(0, AlByte, 0, 1, 8, {0x01});
    load(a.bytes);
    ASSERT_EQ(next(), AR_ITEM);
    ASSERT_EQ(next(), AR_ITEM);
    EXPECT_EQ(item.id, 7);  // a system item has no id
    ASSERT_EQ(next(), AR_ITEM);
    EXPECT_EQ(item.id, 8);
    EXPECT_EQ(item.string_size, 4);  // only string alarms set it
}

// A stream with a record of every class, cut after each of its bytes: the
// complete records before the cut decode, the one it cuts ends the data.
TEST_F(Decoder, RecordCutShortEndsTheData) {
    // Class and payload size of each record, all with param 2.
    const std::pair<int, int> records[] = {
        {System, 0},  {AlBool, 0},  {AlByte, 1},  {AlShort, 1},   {AlLong, 1},  {AlWord, 1},
        {AlDWord, 2}, {AlFloat, 2}, {AlDouble, 2}, {AlTime, 2},   {AlLarge, 2}, {AlError, 2},
        {AlString, 0}, {AlAckn, 1}, {GrBool, 1},  {GrByte, 2},    {GrShort, 4}, {GrLong, 8},
        {GrWord, 4},  {GrDWord, 8}, {GrFloat, 8}, {GrDouble, 16}, {GrTime, 16}, {GrLarge, 16},
        {GrError, 4},
    };
    ArchiveBytes a;
    std::vector<size_t> ends;    // end offset of each record
    std::vector<uint32_t> tags;  // an item's time of day; 0 for a date mark
    a.date_mark(100), ends.push_back(a.bytes.size()), tags.push_back(0);
    uint32_t tag = 1;
    for (const auto& [cls, payload] : records) {
        if (cls == System) a.system(tag, 1, 2);
        else if (cls == AlString) a.string_alarm(tag, 1, 2, 9, "some text");
        else a.alarm(tag, cls, 1, 2, 9, counting(payload, 0xF0));
        ends.push_back(a.bytes.size()), tags.push_back(tag++);
        if (cls == GrBool) a.date_mark(200), ends.push_back(a.bytes.size()), tags.push_back(0);
    }
    for (size_t cut = 0; cut <= a.bytes.size(); ++cut) {
        SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
        day = 0;
        load(a.bytes, cut);
        unsigned want_day = 0;
        for (size_t r = 0; r < ends.size() && ends[r] <= cut; ++r) {
            if (tags[r] == 0) {
                want_day = r == 0 ? 100 : 200;
                continue;
            }
            ASSERT_EQ(next(), AR_ITEM);
            ASSERT_EQ(item.ticks_lo, tags[r]);
        }
        ASSERT_EQ(next(), AR_END_OF_DATA);
        ASSERT_EQ(day, want_day);
        ASSERT_LE(buf.position(), static_cast<int>(cut));
    }
}

// Fields are taken in file order: the first one missing ends the data, but a
// check that fails on fields already read is a format error.
TEST_F(Decoder, CheckBeforeCut) {
    const uint64_t t = time_of_day(8, 0, 0);
    ArchiveBytes bad_mark, reserved, oversized, full_group, text;
    bad_mark.u16(0x8001).u32(0);
    reserved.head(t, 13, 0, 0).u16(1);
    oversized.group(t, GrDouble, 0, 65, 9, counting(520));
    full_group.group(t, GrDouble, 0, 64, 9, counting(512));
    text.string_alarm(t, 0, 0, 3, std::string(300, 'x'));
    struct {
        const char* what;
        const ArchiveBytes& record;
        size_t kept;  // bytes of the record before the end
        int rc;
    } cases[] = {
        {"date mark, three bytes (80 01 00)", bad_mark, 3, AR_END_OF_DATA},
        {"malformed date mark, complete", bad_mark, 6, AR_FORMAT_ERROR},
        {"code byte missing", reserved, 6, AR_END_OF_DATA},
        {"reserved code byte as the last byte", reserved, 7, AR_FORMAT_ERROR},
        {"oversized group, id cut", oversized, 9, AR_END_OF_DATA},
        {"oversized group, id present", oversized, 10, AR_FORMAT_ERROR},
        {"group payload cut", full_group, 521, AR_END_OF_DATA},
        {"string length cut", text, 11, AR_END_OF_DATA},
        {"string text cut", text, 311, AR_END_OF_DATA},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ArchiveBytes s;
        s.alarm(0, AlByte, 0, 1, 1, {0x2A}).raw(c.record.bytes);
        load(s.bytes, 11 + c.kept);
        EXPECT_EQ(next(), AR_ITEM);
        EXPECT_EQ(next(), c.rc);
    }
}

}  // namespace
}  // namespace zentrail
