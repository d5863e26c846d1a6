// The parallel reader gives, batch by batch and in file order, the rows and
// the failure of one reader going through the same files alone.
#include "scan/parallel_reader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "archive/parser.h"
#include "archive/read_errors.h"
#include "archive_bytes.h"
#include "scan/column_builder.h"
#include "reference_columns.h"
#include "temp_dir.h"

namespace {

using namespace zentrail;
namespace zt = zentrail::testing;
using zt::ArchiveBytes;
using zt::ColumnRow;

// Which failure, of which file, where.
std::string describe(const std::exception& e) {
    if (const auto* format = dynamic_cast<const FileFormatError*>(&e)) {
        return "format error in " + format->path + " at " + std::to_string(format->offset);
    }
    if (const auto* open = dynamic_cast<const FileOpenError*>(&e)) return "cannot open " + open->path;
    return e.what();
}

struct Outcome {
    std::vector<ColumnRow> rows;
    std::string failure;  // empty when the read ended well
};

Outcome read_alone(const Filter& filter, const PathList& paths) {
    Outcome out;
    ColumnBuilder builder(&filter, 7, [&](std::unique_ptr<ColumnBatch> b) { zt::append_rows(*b, &out.rows); });
    Parser parser(&filter);
    try {
        parser.exportFiles(&builder, &paths);
    } catch (const std::exception& e) {
        out.failure = describe(e);
    }
    builder.flush();
    return out;
}

Outcome read_in_parallel(const Filter& filter, const PathList& paths, int threads, std::size_t batch_rows,
                         bool slow) {
    Outcome out;
    ParallelReader reader(&filter, paths, threads, batch_rows);
    try {
        for (int taken = 0;; ++taken) {
            std::unique_ptr<ColumnBatch> batch;
            const ParallelReader::Next got = reader.next(&batch, std::chrono::milliseconds(50));
            if (got == ParallelReader::Next::Finished) break;
            if (got == ParallelReader::Next::Waiting) continue;
            EXPECT_LE(batch->rows, batch_rows);
            zt::append_rows(*batch, &out.rows);
            // A consumer that falls behind lets the queues fill.
            if (slow && taken % 16 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (taken % 3 == 0) reader.recycle(std::move(batch));
        }
    } catch (const std::exception& e) {
        out.failure = describe(e);
    }
    return out;
}

ArchiveBytes random_day(std::mt19937& rng, bool broken) {
    auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    ArchiveBytes file;
    const int records = pick(0, 400);
    for (int i = 0; i < records; ++i) {
        const uint64_t tod = zt::time_of_day(pick(0, 23), pick(0, 59), pick(0, 59));
        const auto id = static_cast<uint16_t>(pick(1, 4));
        const auto count = static_cast<uint8_t>(pick(0, 6));
        switch (pick(0, 5)) {
            case 0: file.date_mark(static_cast<uint32_t>(pick(0, 9000))); break;
            case 1: file.alarm(tod, AlLong, pick(0, 7), 1, id, {7}); break;  // one payload byte
            case 2: file.string_alarm(tod, 0, 1, id, "text"); break;
            case 3: file.group(tod, GrFloat, 0, count, id, std::vector<uint8_t>(4u * count, 0x41)); break;
            default: file.group(tod, GrShort, 0, count, id, std::vector<uint8_t>(2u * count, 0x12)); break;
        }
        if (broken && i == records / 2) file.head(tod, 13, 0, 0);  // a reserved class
    }
    if (pick(0, 1)) file.end_byte();
    return file;
}

TEST(ParallelReader, GivesTheRowsAndFailureOfOneReaderAlone) {
    std::mt19937 rng(777);
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(::testing::Message() << "round " << round);
        zt::TempDir dir;
        PathList paths;
        const int files = 1 + round * 3;
        const int broken = round % 3 == 1 ? files / 2 : -1;
        for (int f = 0; f < files; ++f) {
            paths.push_back(dir.write("day" + std::to_string(f), random_day(rng, f == broken).bytes));
        }
        if (round % 4 == 2) paths.insert(paths.begin() + files / 2, dir.path("missing"));
        Filter filter("2000-01-01 00:00:00", "2030-12-31 23:59:59", -1);
        for (int code : {1024 + 1, 2048, 2048 + 3, 3072 + 5, 4096}) filter.addId(code);

        const Outcome alone = read_alone(filter, paths);
        for (int threads : {1, 2, 4}) {
            for (std::size_t batch_rows : {std::size_t{1}, std::size_t{5}, std::size_t{1000}}) {
                SCOPED_TRACE(::testing::Message() << threads << " threads, batches of " << batch_rows);
                const Outcome parallel = read_in_parallel(filter, paths, threads, batch_rows, round % 2 == 0);
                EXPECT_EQ(parallel.failure, alone.failure);
                ASSERT_EQ(parallel.rows.size(), alone.rows.size());
                for (std::size_t r = 0; r < alone.rows.size(); ++r) ASSERT_TRUE(parallel.rows[r] == alone.rows[r]);
            }
        }
    }
}

// Dropping the reader midway stops and joins its workers, freeing what they hold.
TEST(ParallelReader, StopsWhenDroppedMidway) {
    std::mt19937 rng(5);
    zt::TempDir dir;
    PathList paths;
    for (int f = 0; f < 20; ++f) paths.push_back(dir.write("day" + std::to_string(f), random_day(rng, false).bytes));
    Filter filter("2000-01-01 00:00:00", "2030-12-31 23:59:59", -1);
    filter.addId(2048);
    for (int taken = 0; taken < 4; ++taken) {
        ParallelReader reader(&filter, paths, 3, 1);
        for (int i = 0; i < taken; ++i) {
            std::unique_ptr<ColumnBatch> batch;
            reader.next(&batch, std::chrono::milliseconds(1000));
        }
    }
}

// However many threads a read asks for, no more workers start than there
// are files, nor than MAX_WORKERS; and the read still gives every row.
TEST(ParallelReader, StartsNoMoreWorkersThanFilesOrTheCap) {
    zt::TempDir dir;
    PathList paths;
    for (int f = 0; f < 100; ++f) {
        paths.push_back(dir.write("day" + std::to_string(f), ArchiveBytes().group(0, GrWord, 0, 1, 2, {0, 7}).bytes));
    }
    Filter filter("2000-01-01 00:00:00", "2030-12-31 23:59:59", -1);
    filter.addId(2048);
    const struct {
        int threads;
        std::size_t files, workers;
    } cases[] = {{1000000, 100, ParallelReader::MAX_WORKERS}, {1000000, 3, 3}, {0, 5, 1}, {4, 100, 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.threads << " threads, " << c.files << " files");
        const PathList some(paths.begin(), paths.begin() + static_cast<long>(c.files));
        ParallelReader reader(&filter, some, c.threads, 1000);
        EXPECT_EQ(reader.worker_count(), c.workers);
        std::size_t rows = 0;
        std::unique_ptr<ColumnBatch> batch;
        for (ParallelReader::Next got; (got = reader.next(&batch, std::chrono::milliseconds(1000))) !=
                                       ParallelReader::Next::Finished;) {
            if (got == ParallelReader::Next::Batch) rows += batch->rows;
        }
        EXPECT_EQ(rows, c.files);
    }
}

}  // namespace

// Going on past damaged files: the rows of each file read alone up to its
// damage, and the damaged files in file order, once each.
TEST(ParallelReader, GoesOnPastDamagedFilesWhenAsked) {
    std::mt19937 rng(4242);
    zt::TempDir dir;
    PathList paths;
    for (int f = 0; f < 9; ++f) paths.push_back(dir.write("day" + std::to_string(f), random_day(rng, f % 3 == 1).bytes));
    paths.insert(paths.begin() + 5, dir.path("missing"));
    Filter filter("2000-01-01 00:00:00", "2030-12-31 23:59:59", -1);
    for (int code : {1024 + 1, 2048, 2048 + 3, 3072 + 5, 4096}) filter.addId(code);
    Outcome alone;
    std::vector<std::string> failures;
    for (const std::string& path : paths) {
        Outcome file = read_alone(filter, PathList{path});
        alone.rows.insert(alone.rows.end(), file.rows.begin(), file.rows.end());
        if (!file.failure.empty()) failures.push_back(path);
    }
    ASSERT_EQ(failures.size(), 4u);
    for (int threads : {1, 3}) {
        ParallelReader reader(&filter, paths, threads, 5, nullptr, nullptr, true);
        std::vector<ColumnRow> rows;
        std::vector<std::string> damaged;
        for (;;) {
            std::unique_ptr<ColumnBatch> batch;
            const ParallelReader::Next got = reader.next(&batch, std::chrono::milliseconds(50));
            for (const DamagedFile& file : reader.take_damaged()) {
                damaged.push_back(file.path);
                EXPECT_EQ(file.offset < 0, file.path == dir.path("missing"));
            }
            if (got == ParallelReader::Next::Finished) break;
            if (got == ParallelReader::Next::Batch) zt::append_rows(*batch, &rows);
        }
        EXPECT_EQ(damaged, failures);
        ASSERT_EQ(rows.size(), alone.rows.size());
        for (std::size_t r = 0; r < rows.size(); ++r) ASSERT_TRUE(rows[r] == alone.rows[r]);
    }
}
