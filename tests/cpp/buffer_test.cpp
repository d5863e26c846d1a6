// The byte window: big-endian reads, reversed block reads and appends.
#include "archive/buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace zentrail {
namespace {

using Bytes = std::vector<uint8_t>;

void append(Buffer& buf, const Bytes& bytes) { buf.extend(bytes.data(), static_cast<int>(bytes.size())); }

Bytes stored(const Buffer& buf, int n) { return Bytes(buf.storage(), buf.storage() + n); }

// Bytes first, first + 1, ... (mod 256).
Bytes counting(int n, int first = 0) {
    Bytes b;
    for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(first + i));
    return b;
}

TEST(BufferReads, BigEndianAndUnsigned) {
    Buffer buf;
    append(buf, {0x12, 0x34, 0x12, 0x34, 0x56, 0x78, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFE, 0x01, 0x02});
    EXPECT_EQ(buf.byte_top(), 0x12);
    EXPECT_EQ(buf.byte_top(), 0x12);  // a peek moves nothing
    EXPECT_EQ(buf.get_length(), 14);
    EXPECT_EQ(buf.grab_word(), 0x1234);
    EXPECT_EQ(buf.get_length(), 12);
    EXPECT_EQ(buf.grab_dword(), 0x12345678u);
    EXPECT_EQ(buf.grab_word(), 0xFFFEu);  // no sign extension
    EXPECT_EQ(buf.grab_dword(), 0xFFFFFFFEu);
    buf.shift(1);
    EXPECT_EQ(buf.grab_byte(), 0x02);
    EXPECT_EQ(buf.position(), 14);
    EXPECT_EQ(buf.get_length(), 0);
}

// A block is taken as one big-endian quantity: dst[i] = file[n - 1 - i].
TEST(BufferReads, BlockIsReversedAsOne) {
    const struct {
        const char* what;
        Bytes file, expected;
    } cases[] = {
        {"nothing", {}, {}},
        {"one byte", {0x2A}, {0x2A}},
        {"float 1.0, lands least significant byte first", {0x3F, 0x80, 0x00, 0x00}, {0x00, 0x00, 0x80, 0x3F}},
        {"shorts 1, 2, 3: element i lands at 2 - i", {0, 1, 0, 2, 0, 3}, {3, 0, 2, 0, 1, 0}},
        {"bits keep their place inside each byte", {0x01, 0x80, 0x0F}, {0x0F, 0x80, 0x01}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Buffer buf;
        Bytes input = c.file;
        input.push_back(0xAB);
        append(buf, input);
        const size_t n = c.file.size();
        Bytes dst(n + 4, 0xEE);
        buf.grab_bytes(dst.data(), static_cast<int>(n));
        EXPECT_EQ(Bytes(dst.begin(), dst.begin() + static_cast<long>(n)), c.expected);
        EXPECT_EQ(Bytes(dst.begin() + static_cast<long>(n), dst.end()), Bytes(4, 0xEE));  // nothing past n
        EXPECT_EQ(buf.position(), static_cast<int>(n));
        EXPECT_EQ(buf.get_length(), 1);
        EXPECT_EQ(buf.byte_top(), 0xAB);
    }
}

// Every length up to the largest group, at every alignment of 16.
TEST(BufferReads, BlocksOfAnyLengthAreReversed) {
    Buffer buf;  // one for all: each is a large allocation
    for (int offset = 0; offset < 16; ++offset) {
        for (int n = 0; n <= 600; ++n) {
            Bytes input(static_cast<size_t>(offset + n) + 1);
            for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>(i * 7 + n);
            buf.shift(buf.get_length());
            append(buf, input);  // moves nothing to the front: the block starts at offset
            buf.shift(offset);
            Bytes dst(static_cast<size_t>(n) + 1, 0xEE);
            buf.grab_bytes(dst.data(), n);
            Bytes expected(input.rbegin() + 1, input.rend() - offset);
            expected.push_back(0xEE);
            ASSERT_EQ(dst, expected) << "offset " << offset << ", " << n << " bytes";
        }
    }
}

TEST(BufferExtend, MovesUnreadBytesToFront) {
    const struct {
        int filled, taken;
    } cases[] = {
        {200, 200},  // every byte taken: restart at index 0
        {110, 100},  // 10 unread bytes at 100
        {14, 4},     // 10 unread bytes at 4: source and target overlap
        {10, 0},     // nothing taken: append in place
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.taken << " of " << c.filled << " taken");
        Buffer buf;
        append(buf, counting(c.filled));
        buf.shift(c.taken);
        append(buf, {0xC0, 0xC1});
        const int unread = c.filled - c.taken;
        Bytes expected = counting(unread, c.taken);
        expected.insert(expected.end(), {0xC0, 0xC1});
        EXPECT_EQ(buf.position(), 0);
        EXPECT_EQ(buf.end_index(), unread + 2);
        EXPECT_EQ(buf.get_length(), unread + 2);
        EXPECT_EQ(stored(buf, unread + 2), expected);
    }
}

// The room is the window less the unread bytes. What does not fit throws and
// appends nothing, but the move of the unread bytes stays done.
TEST(BufferExtend, RoomIsWindowLessUnreadBytes) {
    const Bytes big(static_cast<size_t>(WINDOW_SIZE) + 1, 0x5A);
    const struct {
        int filled, taken, n;
        bool fits;
    } cases[] = {
        {50, 50, WINDOW_SIZE, true},        {50, 50, WINDOW_SIZE + 1, false},    // empty window
        {110, 100, WINDOW_SIZE - 10, true}, {110, 100, WINDOW_SIZE - 9, false},  // 10 unread at 100
        {10, 0, WINDOW_SIZE - 10, true},    {10, 0, WINDOW_SIZE - 9, false},     // 10 unread at 0
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.taken << " of " << c.filled << " taken, " << c.n << " appended");
        Buffer buf;
        append(buf, counting(c.filled));
        buf.shift(c.taken);
        const int unread = c.filled - c.taken;
        if (c.fits) {
            buf.extend(big.data(), c.n);
            EXPECT_EQ(buf.end_index(), WINDOW_SIZE);
        } else {
            try {
                buf.extend(big.data(), c.n);
                ADD_FAILURE() << "no exception";
            } catch (const std::length_error& e) {
                EXPECT_STREQ(e.what(), "Cannot extend with given bytes!");
            }
            EXPECT_EQ(buf.end_index(), unread);
        }
        EXPECT_EQ(buf.position(), 0);
        EXPECT_EQ(stored(buf, unread), counting(unread, c.taken));
    }
}

// The storage grows with the bytes held, never past the window: a reader of
// small files holds little.
TEST(BufferExtend, StorageGrowsToTheBytesHeldUpToTheWindow) {
    Buffer buf;
    EXPECT_EQ(buf.storage_size(), 0);
    const Bytes big(static_cast<size_t>(WINDOW_SIZE), 0x5A);
    const struct {
        int unread_before, appended, most_storage;
    } cases[] = {
        {0, 100, FIRST_STORAGE_SIZE},
        {100, FIRST_STORAGE_SIZE, 2 * FIRST_STORAGE_SIZE},  // the unread bytes count
        {0, 10, 2 * FIRST_STORAGE_SIZE},                    // it never shrinks
        {10, WINDOW_SIZE - 10, WINDOW_SIZE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.appended << " after " << c.unread_before);
        buf.shift(buf.get_length() - c.unread_before);
        buf.extend(big.data(), c.appended);
        EXPECT_GE(buf.storage_size(), c.unread_before + c.appended);
        EXPECT_LE(buf.storage_size(), std::min(c.most_storage, WINDOW_SIZE));
        EXPECT_EQ(buf.get_length(), c.unread_before + c.appended);
    }
}

}  // namespace
}  // namespace zentrail
