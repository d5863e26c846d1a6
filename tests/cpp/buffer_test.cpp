// The byte window: big-endian reads, reversed block reads and appends.
#include "archive/buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

namespace zentrail {
namespace {

using Bytes = std::vector<uint8_t>;

void append(Buffer& buf, const Bytes& bytes) { buf.extend(bytes.data(), static_cast<int>(bytes.size())); }

Bytes stored(const Buffer& buf, int from, int n) { return Bytes(buf.storage() + from, buf.storage() + from + n); }

// Bytes 0, 1, 2, ... (mod 256).
Bytes counting(int n) {
    Bytes b(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) b[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    return b;
}

TEST(BufferReads, BigEndianWordsAndDwords) {
    Buffer buf;
    append(buf, {0x12, 0x34, 0x56, 0x78, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFE});
    EXPECT_EQ(buf.byte_top(), 0x12);
    EXPECT_EQ(buf.byte_top(), 0x12);  // a peek moves nothing
    EXPECT_EQ(buf.get_length(), 10);

    EXPECT_EQ(buf.grab_word(), 0x1234);
    EXPECT_EQ(buf.get_length(), 8);
    EXPECT_EQ(buf.grab_byte(), 0x56);
    EXPECT_EQ(buf.grab_byte(), 0x78);
    // High bits set: unsigned, no sign extension.
    EXPECT_EQ(buf.grab_word(), 0xFFFEu);
    EXPECT_EQ(buf.grab_dword(), 0xFFFFFFFEu);
    EXPECT_EQ(buf.get_length(), 0);
    EXPECT_EQ(buf.position(), 10);
}

TEST(BufferReads, DwordFromSameStartAsWord) {
    Buffer buf;
    append(buf, {0x12, 0x34, 0x56, 0x78});
    EXPECT_EQ(buf.grab_dword(), 0x12345678u);
    EXPECT_EQ(buf.get_length(), 0);
}

TEST(BufferReads, ShiftSkipsBytes) {
    Buffer buf;
    append(buf, counting(8));
    buf.shift(5);
    EXPECT_EQ(buf.position(), 5);
    EXPECT_EQ(buf.get_length(), 3);
    EXPECT_EQ(buf.byte_top(), 5);
    buf.shift(0);
    EXPECT_EQ(buf.get_length(), 3);
}

// The block read takes n bytes as one big-endian quantity.
struct BlockCase {
    const char* what;
    Bytes file;      // bytes at the read position
    Bytes expected;  // destination after grab_bytes of all of them
};

class BufferBlockRead : public ::testing::TestWithParam<BlockCase> {};

TEST_P(BufferBlockRead, ReversesWholeBlock) {
    const BlockCase& c = GetParam();
    Buffer buf;
    Bytes input = c.file;
    input.push_back(0xAB);  // the next byte must stay unread
    append(buf, input);

    Bytes dst(c.file.size() + 4, 0xEE);
    buf.grab_bytes(dst.data(), static_cast<int>(c.file.size()));

    EXPECT_EQ(Bytes(dst.begin(), dst.begin() + static_cast<long>(c.file.size())), c.expected);
    EXPECT_EQ(Bytes(dst.begin() + static_cast<long>(c.file.size()), dst.end()), Bytes(4, 0xEE));
    EXPECT_EQ(buf.position(), static_cast<int>(c.file.size()));
    EXPECT_EQ(buf.byte_top(), 0xAB);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, BufferBlockRead,
    ::testing::Values(
        BlockCase{"nothing", {}, {}},
        BlockCase{"one byte", {0x2A}, {0x2A}},
        BlockCase{"word", {0x12, 0x34}, {0x34, 0x12}},
        BlockCase{"three words", {0x00, 0x01, 0x00, 0x02, 0x00, 0x03}, {0x03, 0x00, 0x02, 0x00, 0x01, 0x00}},
        BlockCase{"float 1.0", {0x3F, 0x80, 0x00, 0x00}, {0x00, 0x00, 0x80, 0x3F}},
        // Bits keep their place inside each byte; only the bytes swap.
        BlockCase{"bits", {0x01, 0x80, 0x0F}, {0x0F, 0x80, 0x01}}),
    [](const auto& info) {
        std::string name = info.param.what;
        for (char& ch : name)
            if (ch == ' ' || ch == '.') ch = '_';
        return name;
    });

TEST(BufferReads, BlockValuesReadLittleEndian) {
    Buffer buf;
    append(buf, {0x3F, 0x80, 0x00, 0x00,                            // float 1.0
                 0x40, 0x09, 0x21, 0xFB, 0x54, 0x44, 0x2D, 0x18,    // double pi
                 0x00, 0x01, 0x00, 0x02, 0x00, 0x03});              // shorts 1, 2, 3
    float f = 0;
    double d = 0;
    uint16_t shorts[3] = {};
    buf.grab_bytes(&f, 4);
    buf.grab_bytes(&d, 8);
    buf.grab_bytes(shorts, 6);
    EXPECT_EQ(f, 1.0f);
    EXPECT_EQ(d, 3.141592653589793);
    // Element i of the file lands at position count - 1 - i.
    EXPECT_EQ(shorts[0], 3);
    EXPECT_EQ(shorts[1], 2);
    EXPECT_EQ(shorts[2], 1);
}

TEST(BufferExtend, EmptyWindowRestartsAtFront) {
    Buffer buf;
    append(buf, counting(200));
    buf.shift(200);  // every byte taken
    append(buf, {0xA1, 0xA2, 0xA3});
    EXPECT_EQ(buf.position(), 0);
    EXPECT_EQ(buf.end_index(), 3);
    EXPECT_EQ(buf.get_length(), 3);
    EXPECT_EQ(stored(buf, 0, 3), (Bytes{0xA1, 0xA2, 0xA3}));
    EXPECT_EQ(buf.grab_byte(), 0xA1);
}

TEST(BufferExtend, CompactsUnreadBytesToFront) {
    Buffer buf;
    append(buf, counting(110));
    buf.shift(100);  // 10 unread bytes at position 100
    append(buf, {0xC0, 0xC1});
    EXPECT_EQ(buf.position(), 0);
    EXPECT_EQ(buf.end_index(), 12);
    EXPECT_EQ(buf.get_length(), 12);
    Bytes expected = {100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 0xC0, 0xC1};
    EXPECT_EQ(stored(buf, 0, 12), expected);
}

TEST(BufferExtend, OverlappingMoveIsSafe) {
    Buffer buf;
    append(buf, counting(30));
    buf.shift(5);  // the 25 unread bytes overlap their new place
    append(buf, {});
    EXPECT_EQ(buf.position(), 0);
    EXPECT_EQ(buf.end_index(), 25);
    Bytes expected(counting(30).begin() + 5, counting(30).end());
    EXPECT_EQ(stored(buf, 0, 25), expected);
}

TEST(BufferExtend, AppendsInPlaceWhenNothingWasRead) {
    Buffer buf;
    append(buf, {1, 2, 3});
    append(buf, {4, 5});
    EXPECT_EQ(buf.position(), 0);
    EXPECT_EQ(buf.end_index(), 5);
    EXPECT_EQ(stored(buf, 0, 5), (Bytes{1, 2, 3, 4, 5}));
}

TEST(BufferExtend, ExactlyFullThenOneByteOver) {
    const Bytes full(static_cast<size_t>(WINDOW_SIZE), 0x5A);
    Buffer buf;
    append(buf, full);  // room is the whole window
    EXPECT_EQ(buf.end_index(), WINDOW_SIZE);
    EXPECT_EQ(buf.get_length(), WINDOW_SIZE);

    try {
        append(buf, {0x01});
        FAIL() << "a full window took one more byte";
    } catch (const std::length_error& e) {
        EXPECT_STREQ(e.what(), "Cannot extend with given bytes!");
    }
    EXPECT_EQ(buf.end_index(), WINDOW_SIZE);
    EXPECT_EQ(buf.get_length(), WINDOW_SIZE);
}

TEST(BufferExtend, RoomCountsAfterCompaction) {
    const Bytes big(static_cast<size_t>(WINDOW_SIZE), 0x5A);
    Buffer buf;
    append(buf, counting(110));
    buf.shift(100);

    // One byte more than the room left beside 10 unread bytes: nothing is
    // appended, but the compaction stays done.
    EXPECT_THROW(buf.extend(big.data(), WINDOW_SIZE - 9), std::length_error);
    EXPECT_EQ(buf.position(), 0);
    EXPECT_EQ(buf.end_index(), 10);
    EXPECT_EQ(stored(buf, 0, 10), Bytes(counting(110).begin() + 100, counting(110).end()));

    buf.extend(big.data(), WINDOW_SIZE - 10);
    EXPECT_EQ(buf.end_index(), WINDOW_SIZE);
    EXPECT_EQ(buf.byte_top(), 100);
}

TEST(BufferExtend, EmptyWindowStillLimitedToWindow) {
    const Bytes big(static_cast<size_t>(WINDOW_SIZE) + 1, 0x5A);
    Buffer buf;
    append(buf, counting(50));
    buf.shift(50);
    EXPECT_THROW(append(buf, big), std::length_error);
    EXPECT_EQ(buf.position(), 0);
    EXPECT_EQ(buf.end_index(), 0);
    EXPECT_EQ(buf.get_length(), 0);
}

}  // namespace
}  // namespace zentrail
