// The labels of rows by their codes, against a lookup of each row alone.
#include "scan/code_labels.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

using namespace zentrail;

TEST(CodeLabels, EachRowGetsItsBlockPlaceInEveryTable) {
    // Ids 3 and 9 have blocks 0 and 1; every other id the empty block 2.
    std::vector<int32_t> slot(65536, 2);
    slot[3] = 0;
    slot[9] = 1;
    std::vector<int32_t> names(3 * 1024, -1), units(3 * 1024, -1);
    names[0 * 1024 + 5] = 7;
    names[1 * 1024 + 0] = 4;
    units[1 * 1024 + 0] = 1;
    std::mt19937 random(7);
    std::vector<uint16_t> ids, elements;
    for (int r = 0; r < 1000; ++r) {
        ids.push_back(static_cast<uint16_t>(std::vector<int>{3, 9, 40}[random() % 3]));
        elements.push_back(static_cast<uint16_t>(random() % 8));
    }
    std::vector<int32_t> got_names(ids.size()), got_units(ids.size());
    LabelTable tables[] = {{names.data(), names.size(), got_names.data()},
                           {units.data(), units.size(), got_units.data()}};
    ASSERT_TRUE(label_rows(ids.data(), elements.data(), ids.size(), slot.data(), tables, 2));
    for (std::size_t r = 0; r < ids.size(); ++r) {
        const std::size_t place = static_cast<std::size_t>(slot[ids[r]]) * 1024 + elements[r];
        EXPECT_EQ(got_names[r], names[place]);
        EXPECT_EQ(got_units[r], units[place]);
    }
}

TEST(CodeLabels, APlaceOutsideATableStopsTheRows) {
    std::vector<int32_t> slot(65536, 1);  // block 1, which the table lacks
    std::vector<int32_t> table(1024, 0);
    std::vector<uint16_t> ids{1}, elements{0};
    std::vector<int32_t> out(1, 42);
    LabelTable tables[] = {{table.data(), table.size(), out.data()}};
    EXPECT_FALSE(label_rows(ids.data(), elements.data(), 1, slot.data(), tables, 1));
    EXPECT_EQ(out[0], 42);
}

}  // namespace
