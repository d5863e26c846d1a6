// Reading a value straight from the stored payload gives, bit for bit, what
// reading it from the value area (the payload reversed, as the reader copies
// it) gives, for every class, element count and position.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "archive/value_readers.h"

namespace zentrail {
namespace {

// The payload's size for a class and its second byte, as the reader takes it.
int payload_size_of(int cls, int param) {
    const RecordClass& c = RECORD_CLASSES[cls];
    if (c.kind == ClassKind::Group) return group_payload_size(cls, param);
    if (c.kind == ClassKind::Alarm) return c.size - 10;
    return 0;
}

uint64_t bits_of(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

TEST(StoredNumberReader, EqualsTheValueAreaReaderForEveryClassAndPosition) {
    std::mt19937 random(7);
    for (int cls = 0; cls < 32; ++cls) {
        const RecordClass& c = RECORD_CLASSES[cls];
        for (int count : {0, 1, 2, 3, 7, 8, 9, 63, 64, 255}) {
            if (c.kind != ClassKind::Group && count > 1) continue;
            const int size = payload_size_of(cls, count);
            if (size <= 0 || size + 10 > AR_MAX_GROUP_RECORD) continue;
            SCOPED_TRACE(::testing::Message() << "class " << cls << ", count " << count);
            for (int trial = 0; trial < 20; ++trial) {
                std::vector<unsigned char> payload(static_cast<size_t>(size));
                for (auto& b : payload) b = static_cast<unsigned char>(random());
                // The value area as the reader fills it: zeros, then the
                // payload reversed over its start.
                unsigned char area[512] = {};
                for (int i = 0; i < size; ++i) area[i] = payload[static_cast<size_t>(size - 1 - i)];
                const int positions = c.kind == ClassKind::Group ? (count == 0 ? 1 : count) : 1;
                for (int p = 0; p < positions; ++p) {
                    const uint64_t expected = bits_of(number_reader_of(cls)(area, p));
                    ASSERT_EQ(bits_of(stored_number_reader_of(cls)(payload.data(), size, p)), expected) << "position " << p;
                }
            }
        }
    }
}

}  // namespace
}  // namespace zentrail
