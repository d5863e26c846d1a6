// The inventory and event sinks behind a reader: texts kept across refills,
// payloads skipped without changing what is counted, tables merged, days
// of a zone counted by the local day of each instant.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "archive/parser.h"
#include "archive_bytes.h"
#include "scan/event_sink.h"
#include "scan/inventory_sink.h"
#include "selection/filter.h"
#include "temp_dir.h"
#include "time/wall_clock.h"

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

// Berlin's clock in 2024 (days since 2000-01-01): +1 h, +2 h from 31 March
// 01:00 UTC, +1 h again from 27 October 01:00 UTC.
constexpr int64_t HOUR = 3600LL * 1000000000LL;
constexpr int64_t DAY = 24 * HOUR;
constexpr int64_t MARCH_31 = 8856;
constexpr int64_t OCTOBER_27 = 9066;

TEST(InventorySink, ByDayInAZoneCountsEachLocalDayAndKeepsInstants) {
    auto berlin = std::make_shared<const ZoneDays>(
        HOUR, std::vector<ClockChange>{{MARCH_31 * DAY + HOUR, HOUR, 2 * HOUR},
                                       {OCTOBER_27 * DAY + HOUR, 2 * HOUR, HOUR}});
    ReadZone zone;
    zone.days = berlin;
    zone.counts = std::make_shared<ClockCounts>();
    for (const auto& [change_day, hours] : {std::pair<int64_t, int64_t>{MARCH_31, 23}, {OCTOBER_27, 25}}) {
        // A runtime logging every 10 minutes, in one file, through the local
        // days before, of and after the change: its wall times and date marks.
        TempDir dir;
        ArchiveBytes file;
        std::vector<int64_t> instants;
        int64_t marked = -1;
        for (int64_t t = (change_day - 2) * DAY; t < (change_day + 3) * DAY; t += HOUR / 6) {
            const int64_t wall = berlin->wall_of(t);
            if (wall < (change_day - 1) * DAY || wall >= (change_day + 2) * DAY) continue;
            if (wall / DAY != marked) file.date_mark(static_cast<uint32_t>(marked = wall / DAY));
            file.alarm(static_cast<uint64_t>(wall % DAY), AlByte, 0, 1, 9, {0x01});
            instants.push_back(t);
        }
        const std::string path = dir.write("2024-01-01_a.vlx", file.end_byte().bytes);
        Parser parser(nullptr);
        parser.set_payload_classes(0);
        parser.set_zone(zone);
        InventoryTable table;
        InventorySink sink(&table, EVERYTHING, true);
        sink.set_zone(berlin.get());
        parser.read_file(&sink, path);
        sink.finish();
        const auto rows = table.sorted();
        ASSERT_EQ(rows.size(), 3u) << change_day;
        const int64_t per_day[] = {24 * 6, hours * 6, 24 * 6};
        std::size_t at = 0;
        for (std::size_t k = 0; k < 3; ++k) {
            EXPECT_EQ(InventoryTable::day_of(rows[k].key), static_cast<uint64_t>(change_day - 1) + k);
            ASSERT_EQ(rows[k].records, per_day[k]) << change_day;
            EXPECT_EQ(rows[k].first, static_cast<uint64_t>(instants[at]));
            at += static_cast<std::size_t>(per_day[k]);
            EXPECT_EQ(rows[k].last, static_cast<uint64_t>(instants[at - 1]));
        }
    }
    EXPECT_EQ(zone.counts->guessed.load(), 0);
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
