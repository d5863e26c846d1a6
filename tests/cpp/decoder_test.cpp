// The record decoder, run over a test-owned window with no file behind it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "archive/parser.h"
#include "archive_bytes.h"
#include "parser_test_peer.h"

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
    int next() { return ParserTestPeer::read_next_item(parser, &buf, &day, &item); }

    Parser parser{nullptr};
    Buffer buf;
    AR_COMMON_ITEM item;
    unsigned day = 0;
};

TEST_F(Decoder, AlByteOneSecondAfterMidnight) {
    ArchiveBytes a;
    a.alarm(time_of_day(0, 0, 1), AlByte, 0, 1, 7, {0x2A});
    ASSERT_EQ(a.bytes, (Bytes{0x00, 0x00, 0x3B, 0x9A, 0xCA, 0x00, 0x02, 0x01, 0x00, 0x07, 0x2A}));
    load(a.bytes);
    ASSERT_EQ(next(), AR_ITEM);
    EXPECT_EQ(code_time(item.ticks_hi, item.ticks_lo), NS_PER_SECOND);
    EXPECT_EQ(std::make_tuple(item.code, item.param, item.id, item.data[0]), std::make_tuple(2, 1, 7, 0x2A));
}

// Every class with param 3 (a string alarm with a 5-byte text): the whole
// record size, or kMalformed for a reserved class.
struct ClassCase {
    int cls;
    int size;
};

class DecoderClass : public Decoder, public ::testing::WithParamInterface<ClassCase> {};

TEST_P(DecoderClass, RecordSize) {
    const ClassCase c = GetParam();
    const bool alarm_value = (c.cls >= AlByte && c.cls <= AlError) || c.cls == AlAckn;
    const int payload = c.cls == AlString ? 0 : c.size - 10;
    for (int subtype : {0, 1, 2, 7}) {  // e.g. 0x0D, 0x2D, 0x4D, 0xED for class 13
        SCOPED_TRACE("subtype " + std::to_string(subtype));
        SetUp();
        ArchiveBytes a;
        if (c.cls == System) a.system(2000, subtype, 3);
        else if (c.cls == AlString) a.string_alarm(2000, subtype, 3, 500, "hello");
        else a.head(2000, c.cls, subtype, 3).u16(500).raw(counting(c.size == kMalformed ? 8 : payload));
        load(a.system(3000, 0, 0).bytes);

        if (c.size == kMalformed) {
            EXPECT_EQ(next(), AR_FORMAT_ERROR);
            EXPECT_EQ(buf.position(), 7);  // stopped after the code byte; param is not read
            EXPECT_EQ(std::make_tuple(item.ticks_lo, item.code, item.param),
                      std::make_tuple(2000u, ARCODE(c.cls, subtype), kFill));
            continue;
        }
        ASSERT_EQ(next(), AR_ITEM);
        EXPECT_EQ(buf.position(), c.size);
        EXPECT_EQ(item.code, ARCODE(c.cls, subtype));
        EXPECT_EQ(std::make_tuple(ARCLASS(item.code), ARSUBTYPE(item.code)), std::make_tuple(c.cls, subtype));
        EXPECT_EQ(item.param, 3);
        EXPECT_EQ(item.id, c.cls == System ? 0xEEEE : 500);  // a system item has no id
        EXPECT_EQ(item.string_size, c.cls == AlString ? 6 : int32_t(0xEEEEEEEE));
        // The payload lies reversed; an alarm's value area is zero up to 8
        // bytes, and everything past that is as the item held it.
        for (int i = 0; i < 512; ++i) {
            uint8_t want = i < payload ? static_cast<uint8_t>(payload - i) : (alarm_value && i < 8) ? 0 : kFill;
            ASSERT_EQ(item.data[i], want) << "value area byte " << i;
        }
        ASSERT_EQ(next(), AR_ITEM);
        EXPECT_EQ(item.ticks_lo, 3000u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    AllClasses, DecoderClass,
    ::testing::ValuesIn(std::vector<ClassCase>{
        {System, 8},     {AlBool, 10},    {AlByte, 11},    {AlShort, 11},   {AlLong, 11},    {AlWord, 11},
        {AlDWord, 12},   {AlFloat, 12},   {AlDouble, 12},  {AlTime, 12},    {AlLarge, 12},   {AlError, 12},
        {AlString, 17},  {13, kMalformed}, {14, kMalformed}, {15, kMalformed}, {16, kMalformed}, {GrBool, 11},
        {GrByte, 13},    {GrShort, 16},   {GrLong, 22},    {GrWord, 16},    {GrDWord, 22},   {GrFloat, 22},
        {GrDouble, 34},  {GrTime, 34},    {GrLarge, 34},   {GrError, 16},   {28, kMalformed}, {29, kMalformed},
        {30, kMalformed}, {AlAckn, 11}}),
    [](const auto& p) { return "Class" + std::to_string(p.param.cls); });

// Group payloads on both sides of the 512-byte limit, and GrBool's bit count.
TEST_F(Decoder, GroupPayloadSize) {
    const struct {
        int cls;
        uint8_t count;
        int payload;  // kMalformed: a format error
    } cases[] = {
        {GrDouble, 64, 512}, {GrDouble, 65, kMalformed}, {GrTime, 64, 512},   {GrTime, 65, kMalformed},
        {GrLarge, 64, 512},  {GrLarge, 65, kMalformed},  {GrLong, 128, 512},  {GrLong, 129, kMalformed},
        {GrDWord, 128, 512}, {GrDWord, 129, kMalformed}, {GrFloat, 128, 512}, {GrFloat, 129, kMalformed},
        {GrShort, 255, 510}, {GrWord, 255, 510},         {GrError, 255, 510}, {GrByte, 255, 255},
        {GrByte, 0, 0},      {GrDouble, 0, 0},           {GrBool, 0, 32},     {GrBool, 1, 1},
        {GrBool, 8, 1},      {GrBool, 9, 2},             {GrBool, 255, 32},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "class " << c.cls << ", count " << int(c.count));
        SetUp();
        load(ArchiveBytes().group(0, c.cls, 0, c.count, 77, counting(c.payload == kMalformed ? 600 : c.payload)).bytes);
        if (c.payload == kMalformed) {
            EXPECT_EQ(next(), AR_FORMAT_ERROR);
            EXPECT_EQ(buf.position(), 10);  // stopped after the id, which stays in the item
            EXPECT_EQ(std::make_tuple(item.param, item.id, item.data[0]), std::make_tuple(c.count, 77, kFill));
            continue;
        }
        EXPECT_EQ(next(), AR_ITEM);
        EXPECT_EQ(buf.position(), 10 + c.payload);
        EXPECT_EQ(next(), AR_END_OF_DATA);
    }
}

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
    EXPECT_EQ(Bytes(item.data, item.data + 9), (Bytes{0x2A, 0, 0, 0, 0, 0, 0, 0, kFill}));  // reads 42
    ASSERT_EQ(next(), AR_ITEM);
    EXPECT_EQ(Bytes(item.data, item.data + 9), (Bytes{0x34, 0x12, 0, 0, 0, 0, 0, 0, kFill}));  // 0x1234
}

// A stream with a record of every class, cut after each of its bytes: the
// complete records before the cut decode, the one it cuts ends the data.
TEST_F(Decoder, RecordCutShortEndsTheData) {
    // Class and payload size of each record, all with param 2 (the string
    // alarm carries a 9-byte text).
    const std::pair<int, int> records[] = {
        {System, 0},  {AlBool, 0},  {AlByte, 1},  {AlShort, 1},   {AlLong, 1},  {AlWord, 1},
        {AlDWord, 2}, {AlFloat, 2}, {AlDouble, 2}, {AlTime, 2},   {AlLarge, 2}, {AlError, 2},
        {AlString, 0}, {AlAckn, 1}, {GrBool, 1},  {GrByte, 2},    {GrShort, 4}, {GrLong, 8},
        {GrWord, 4},  {GrDWord, 8}, {GrFloat, 8}, {GrDouble, 16}, {GrTime, 16}, {GrLarge, 16},
        {GrError, 4},
    };
    struct Written {
        size_t end;    // offset just past the record
        uint32_t tag;  // an item's time of day; 0 for a date mark
        unsigned day;  // the day a date mark sets
    };
    std::vector<Written> written;
    ArchiveBytes a;
    auto wrote = [&](uint32_t tag, unsigned day = 0) { written.push_back({a.bytes.size(), tag, day}); };
    a.date_mark(100);
    wrote(0, 100);
    uint32_t tag = 1;
    for (const auto& [cls, payload] : records) {
        if (cls == System) a.system(tag, 1, 2);
        else if (cls == AlString) a.string_alarm(tag, 1, 2, 9, "some text");
        else a.alarm(tag, cls, 1, 2, 9, counting(payload, 0xF0));
        wrote(tag++);
        if (cls == GrBool) {
            a.date_mark(200);
            wrote(0, 200);
        }
    }
    for (size_t cut = 0; cut <= a.bytes.size(); ++cut) {
        SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
        day = 0;
        load(a.bytes, cut);
        unsigned want_day = 0;
        for (size_t r = 0; r < written.size() && written[r].end <= cut; ++r) {
            if (written[r].tag == 0) {
                want_day = written[r].day;
                continue;
            }
            ASSERT_EQ(next(), AR_ITEM);
            ASSERT_EQ(item.ticks_lo, written[r].tag);
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
    ArchiveBytes bad_mark, late_mark, reserved, oversized, full_group, text;
    bad_mark.u16(0x8001).u32(0);
    late_mark.u16(0x8000).u32(65536);
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
        {"date mark with high part 8001", bad_mark, 6, AR_FORMAT_ERROR},
        {"date mark of day 65536", late_mark, 6, AR_FORMAT_ERROR},
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
        day = 42;
        EXPECT_EQ(next(), AR_ITEM);
        EXPECT_EQ(next(), c.rc);
        EXPECT_EQ(day, 42u);
    }
}

}  // namespace
}  // namespace zentrail
