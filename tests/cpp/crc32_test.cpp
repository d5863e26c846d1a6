// The zip members' CRC against zlib's, over lengths around its pieces of
// 16 and 64 bytes, any alignment and any CRC carried in.
#include "archive/crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

namespace zentrail {
namespace {

class Crc32Matches : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Crc32Matches, ZlibsOverAnyAlignmentAndCarriedCrc) {
    std::mt19937 random(static_cast<unsigned>(GetParam()));
    std::vector<unsigned char> bytes(GetParam() + 16);
    for (auto& b : bytes) b = static_cast<unsigned char>(random());
    for (std::size_t offset : {0, 1, 7, 15}) {
        for (uint32_t carried : {0u, 0xFFFFFFFFu, static_cast<uint32_t>(random())}) {
            const unsigned char* p = bytes.data() + offset;
            EXPECT_EQ(crc32_of(carried, p, GetParam()), crc32(carried, p, static_cast<uInt>(GetParam())));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, Crc32Matches,
                         ::testing::Values(0, 1, 15, 16, 63, 64, 65, 79, 80, 127, 128, 129, 1000, 4096, 65537));

}  // namespace
}  // namespace zentrail
