// The inventory and event sinks behind a reader: texts kept across refills,
// payloads skipped without changing what is counted, tables merged.
#include <gtest/gtest.h>

#include <string>

#include "archive/parser.h"
#include "archive_bytes.h"
#include "scan/event_sink.h"
#include "scan/inventory_sink.h"
#include "selection/filter.h"
#include "temp_dir.h"

namespace zentrail::testing {
namespace {

const InstantWindow EVERYTHING{true, 0, UINT64_MAX};

TEST(EventSink, KeepsTextsAcrossRefillsAndSkipsOtherPayloads) {
    TempDir dir;
    // Twenty texts of 60,000 bytes: some straddle the end of a read chunk.
    ArchiveBytes file;
    const int count = 20;
    for (int k = 0; k < count; ++k) {
        file.group(time_of_day(1, 0, k), GrWord, 0, 2, 5, {0, 1, 0, 2})
            .string_alarm(time_of_day(2, 0, k), 3, 1, 9, std::string(60000, static_cast<char>('a' + k)))
            .alarm(time_of_day(3, 0, k), AlAckn, 1, 0, 7, {0xFE});
    }
    ASSERT_GT(file.bytes.size(), 2u * READ_CHUNK_SIZE);
    const std::string path = dir.write("2024-03-01_a.vlx", file.end_byte().bytes);
    Parser parser(nullptr);
    parser.set_payload_classes(event_payload_classes());
    parser.set_keep_texts(true);
    EventBatch events;
    EventSink sink(&events, EVERYTHING, nullptr, true);
    parser.read_file(&sink, path);
    ASSERT_EQ(events.rows(), 2u * count);
    for (int k = 0; k < count; ++k) {
        const auto r = static_cast<std::size_t>(2 * k);
        EXPECT_EQ(events.texts.substr(static_cast<std::size_t>(events.text_start[r]),
                                      static_cast<std::size_t>(events.text_length[r])),
                  std::string(60000, static_cast<char>('a' + k)));
        EXPECT_EQ(events.value[r + 1], 254.0);  // AlAckn: one byte, read as AlLong reads it
        EXPECT_EQ(events.text_length[r + 1], -1);
    }
}

TEST(InventoryTable, MergeSumsWidensAndCountsFiles) {
    InventoryTable a, b;
    const uint64_t key = InventoryTable::key_of(0, 7, GrWord);
    a.at(key) = {key, 3, 10, 20, 2, 1};
    b.at(key) = {key, 4, 5, 15, 4, 1};
    const uint64_t other = InventoryTable::key_of(0, 1, AlBool);
    for (uint32_t id = 100; id < 5000; ++id) b.at(InventoryTable::key_of(0, id, GrByte)).records = 1;  // regrowth
    b.at(other) = {other, 1, 1, 1, 0, 1};
    a.merge(b);
    const auto rows = a.sorted();
    ASSERT_EQ(rows.size(), 4902u);
    EXPECT_EQ(rows[0].key, other);
    const InventoryEntry& merged = rows[1];
    EXPECT_EQ(merged.records, 7);
    EXPECT_EQ(merged.first, 5u);
    EXPECT_EQ(merged.last, 20u);
    EXPECT_EQ(merged.elements, 4);
    EXPECT_EQ(merged.files, 2);
}

TEST(Filter, EveryCodeSelectsEveryIdAndIndex) {
    Filter filter(EVERYTHING);
    EXPECT_TRUE(filter.isEmpty());
    filter.select_every_code();
    EXPECT_FALSE(filter.isEmpty());
    EXPECT_TRUE(filter.hasId(65535));
    EXPECT_TRUE(filter.hasIndex(65535, 1023));
    EXPECT_FALSE(filter.hasIndex(3, 1024));
}

}  // namespace
}  // namespace zentrail::testing
