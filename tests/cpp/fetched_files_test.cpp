// Files fetched into memory read as the same files opened from disk, and no
// more of them are held at once than the read allows.
#include "scan/fetched_files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "archive/read_errors.h"
#include "archive_bytes.h"
#include "reference_columns.h"
#include "scan/parallel_reader.h"
#include "temp_dir.h"

namespace {

using namespace zentrail;
namespace zt = zentrail::testing;
using std::chrono::milliseconds;

zt::ArchiveBytes random_day(std::mt19937& rng, bool broken) {
    auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    zt::ArchiveBytes file;
    const int records = pick(0, 3000);
    for (int i = 0; i < records; ++i) {
        const uint64_t tod = zt::time_of_day(pick(0, 23), pick(0, 59), pick(0, 59));
        const auto id = static_cast<uint16_t>(pick(1, 4));
        const auto count = static_cast<uint8_t>(pick(0, 6));
        switch (pick(0, 4)) {
            case 0: file.date_mark(static_cast<uint32_t>(pick(0, 9000))); break;
            case 1: file.string_alarm(tod, 0, 1, id, "text"); break;
            case 2: file.group(tod, GrFloat, 0, count, id, std::vector<uint8_t>(4u * count, 0x41)); break;
            default: file.group(tod, GrShort, 0, count, id, std::vector<uint8_t>(2u * count, 0x12)); break;
        }
        if (broken && i == records / 2) file.head(tod, 13, 0, 0);  // a reserved class
    }
    if (pick(0, 1)) file.end_byte();
    return file;
}

struct Outcome {
    std::vector<zt::ColumnRow> rows;
    std::string failure;
};

Outcome read_all(const Filter& filter, const PathList& paths, ByteSource* source) {
    Outcome out;
    ParallelReader reader(&filter, paths, 2, 100, nullptr, source);
    try {
        for (;;) {
            std::unique_ptr<ColumnBatch> batch;
            const ParallelReader::Next got = reader.next(&batch, milliseconds(50));
            if (got == ParallelReader::Next::Finished) break;
            if (got == ParallelReader::Next::Batch) zt::append_rows(*batch, &out.rows);
        }
    } catch (const FileFormatError& e) {
        out.failure = "format error in " + e.path + " at " + std::to_string(e.offset);
    } catch (const FileOpenError& e) {
        out.failure = "cannot open " + e.path + ": " + std::to_string(e.os_error);
    }
    return out;
}

TEST(FetchedFiles, ReadAsTheSameFilesFromDiskWhileTheyArriveTwoAtATime) {
    std::mt19937 rng(4242);
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(::testing::Message() << "round " << round);
        zt::TempDir dir;
        PathList paths;
        std::vector<std::vector<uint8_t>> contents;
        for (int f = 0; f < 5; ++f) {
            contents.push_back(random_day(rng, round % 3 == 1 && f == 2).bytes);
            paths.push_back(dir.write("day" + std::to_string(f), contents.back()));
        }
        Filter filter("2000-01-01 00:00:00", "2030-12-31 23:59:59", -1);
        for (int code : {1024 + 1, 2048, 2048 + 3, 3072 + 5, 4096}) filter.addId(code);

        auto source = FetchedFiles::make(paths, std::vector<int64_t>(paths.size(), 0), 2);
        std::thread fetcher([&] {
            for (std::size_t f = 0; f < paths.size(); ++f) {
                while (!source->reserve(milliseconds(20))) {
                    if (source->closed()) return;
                }
                const std::vector<uint8_t>& bytes = contents[f];
                const std::size_t half = bytes.size() / 2;  // in two pieces, as a fetch gives them
                source->append(paths[f], bytes.data(), half);
                source->append(paths[f], bytes.data() + half, bytes.size() - half);
                source->complete(paths[f]);
            }
        });
        const Outcome fetched = read_all(filter, paths, source.get());
        source->close();
        fetcher.join();
        const Outcome opened = read_all(filter, paths, nullptr);
        EXPECT_EQ(fetched.failure, opened.failure);
        ASSERT_EQ(fetched.rows.size(), opened.rows.size());
        for (std::size_t r = 0; r < opened.rows.size(); ++r) ASSERT_TRUE(fetched.rows[r] == opened.rows[r]);
    }
}

TEST(FetchedFiles, HoldNoMoreFilesThanInFlightUntilTheReaderLetsGo) {
    auto source = FetchedFiles::make({"a", "b", "c"}, {3, 3, 3}, 2);
    const unsigned char bytes[] = {1, 2, 3};
    ASSERT_TRUE(source->reserve(milliseconds(0)));
    ASSERT_TRUE(source->reserve(milliseconds(0)));
    EXPECT_FALSE(source->reserve(milliseconds(10)));  // two held: no room
    source->append("a", bytes, 3);
    source->complete("a");
    EXPECT_FALSE(source->reserve(milliseconds(10)));  // taken out is still held
    {
        std::shared_ptr<const FileBytes> taken = source->take("a", nullptr);
        EXPECT_EQ(*taken, FileBytes(bytes, bytes + 3));
        EXPECT_FALSE(source->reserve(milliseconds(10)));
    }
    EXPECT_TRUE(source->reserve(milliseconds(0)));  // let go: room for one more
    source->fail("b", ENOENT, -1);
    EXPECT_TRUE(source->reserve(milliseconds(0)));  // a failure holds no bytes
    try {
        source->take("b", nullptr);
        FAIL() << "no failure";
    } catch (const FileOpenError& e) {
        EXPECT_EQ(e.path, "b");
        EXPECT_EQ(e.os_error, ENOENT);
    }
    source->fail("c", EIO, 1);
    EXPECT_THROW(source->take("c", nullptr), FileReadError);
    source->close();
    EXPECT_FALSE(source->reserve(milliseconds(0)));
}

}  // namespace
