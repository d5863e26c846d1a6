// The column builder against the plain reference, on random items and
// selections (bounds with fields out of range included).
#include "scan/column_builder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "archive/parser.h"
#include "reference_columns.h"

namespace {

using zentrail::ACI_WITH_DATE;
using zentrail::ColumnBatch;
using zentrail::ColumnBuilder;
using zentrail::Filter;
using zentrail::testing::ColumnRow;
using zentrail::testing::ReferenceColumns;

TEST(ColumnBuilder, GivesTheReferenceRowsForRandomItemsAndSelections) {
    std::mt19937 rng(4242);
    auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::size_t total = 0;
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(::testing::Message() << "round " << round);
        char start[32], end[32];
        std::snprintf(start, sizeof start, "2000-01-%02d %02d:00:00", pick(0, 3), pick(0, 24));
        std::snprintf(end, sizeof end, "2000-%02d-%02d 12:%02d:00", pick(0, 2), pick(1, 32), pick(0, 60));
        Filter filter(start, end, -1);
        for (int k = pick(0, 40); k > 0; --k) filter.addId(pick(-3, 6) * 1024 + pick(-2, 70));

        std::vector<ColumnRow> built;
        const std::size_t batch_rows = static_cast<std::size_t>(pick(1, 9));
        ColumnBuilder builder(&filter, batch_rows, [&](std::unique_ptr<ColumnBatch> batch) {
            EXPECT_LE(batch->rows, batch_rows);
            zentrail::testing::append_rows(*batch, &built);
        });
        ReferenceColumns reference(&filter);
        for (int i = 0; i < 200; ++i) {
            ACI_WITH_DATE item{};
            item.item.code = static_cast<uint8_t>(pick(0, 255));
            item.item.param = static_cast<uint8_t>(pick(0, 1) ? pick(0, 80) : pick(0, 255));
            // As the decoder delivers them: no group larger than its limit.
            const int cls = zentrail::ARCLASS(item.item.code);
            while (zentrail::record_class_of(cls).kind == zentrail::ClassKind::Group &&
                   zentrail::group_payload_size(cls, item.item.param) + zentrail::ITEM_HEAD_SIZE >
                       zentrail::AR_MAX_GROUP_RECORD) {
                item.item.param = static_cast<uint8_t>(item.item.param / 2);
            }
            item.item.id = static_cast<uint16_t>(pick(0, 6));
            item.item.ticks_hi = static_cast<uint16_t>(pick(0, 0x4E94));  // up to a day and a bit
            item.item.ticks_lo = static_cast<uint32_t>(rng());
            item.date = static_cast<uint32_t>(pick(0, 40));
            for (unsigned char& b : item.item.data) b = static_cast<unsigned char>(rng());
            builder.export_value(&item);
            reference.export_value(&item);
        }
        builder.flush();
        ASSERT_EQ(built.size(), reference.rows.size());
        total += built.size();
        for (std::size_t r = 0; r < built.size(); ++r) ASSERT_TRUE(built[r] == reference.rows[r]) << "row " << r;
    }
    EXPECT_GT(total, 3000u);  // the selections are not all empty
}

// column(i) is the array of the table's column i, at the table's width.
TEST(ColumnBatch, ColumnIHoldsTheValuesOfTheTablesColumnI) {
    ColumnBatch batch(2);
    batch.append(-5, 7, 3, 2.5, 31, 6);
    const int64_t t = -5;
    const uint16_t id = 7, n = 3;
    const double v = 2.5;
    const uint8_t cls = 31, sub = 6;
    const struct {
        const char* name;
        const void* value;
    } expected[] = {{"time", &t}, {"signal_id", &id}, {"element", &n}, {"value", &v}, {"item_class", &cls},
                    {"subtype", &sub}};
    ASSERT_EQ(std::size(expected), zentrail::COLUMN_COUNT);
    for (std::size_t i = 0; i < zentrail::COLUMN_COUNT; ++i) {
        EXPECT_STREQ(zentrail::COLUMNS[i].name, expected[i].name);
        EXPECT_EQ(std::memcmp(batch.column(i), expected[i].value, zentrail::COLUMNS[i].width), 0) << i;
    }
}

}  // namespace
