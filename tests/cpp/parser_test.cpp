// The archive reader: how files begin and end, selection, failures, and
// files larger than the window, whose records cross the refills.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <tuple>

#include "archive/parser.h"
#include "archive/read_errors.h"
#include "archive/record_sink.h"
#include "archive_bytes.h"
#include "temp_dir.h"
#include "selection/filter.h"

namespace zentrail {
namespace {

namespace fs = std::filesystem;
using namespace testing;  // zentrail::testing: the archive byte builder

// Payload bytes after the id of a record.
std::size_t payload_size(int code, int param) {
    const int cls = ARCLASS(code);
    switch (cls) {
        case System: case AlBool: case AlString: return 0;
        case AlByte: case AlShort: case AlLong: case AlWord: case AlAckn: return 1;
        case GrBool: return param == 0 ? 32 : (param + 7) / 8;
        default: break;
    }
    if (cls <= AlError) return 2;
    static const int ELEMENT_WIDTH[] = {1, 1, 2, 4, 2, 4, 4, 8, 8, 8, 2};  // GrBool..GrError
    return std::size_t(param) * ELEMENT_WIDTH[cls - GrBool];
}

// What a sink is handed for one item; the payload in file order.
struct Item {
    uint32_t day;
    uint16_t ticks_hi;
    uint32_t ticks_lo;
    int code, param, id;
    int string_size;  // string alarms only
    std::vector<uint8_t> payload;

    auto key() const { return std::tie(day, ticks_hi, ticks_lo, code, param, id, string_size, payload); }
    bool operator==(const Item& other) const { return key() == other.key(); }
};

std::ostream& operator<<(std::ostream& os, const Item& it) {
    return os << "{day " << it.day << ", ticks " << it.ticks_hi << ":" << it.ticks_lo << ", code " << it.code
              << ", param " << it.param << ", id " << it.id << ", string_size " << it.string_size << ", "
              << it.payload.size() << " payload bytes}";
}

using Seen = std::vector<std::tuple<uint32_t, int, int>>;

// Keeps a copy of every item it is handed.
class RecordingSink : public RecordSink {
public:
    void export_value(ACI_WITH_DATE* record) override {
        const AR_COMMON_ITEM& in = record->item;
        const std::size_t n = std::min(payload_size(in.code, in.param), sizeof in.data);
        items.push_back({record->date, in.ticks_hi, in.ticks_lo, in.code, in.param, in.id,
                         ARCLASS(in.code) == AlString ? in.string_size : 0,
                         {std::make_reverse_iterator(in.data + n), std::make_reverse_iterator(in.data)}});
    }
    // (day, class, id) of each item: enough for the tests of the reading loop.
    Seen seen() const {
        Seen out;
        for (const Item& it : items) out.emplace_back(it.day, ARCLASS(it.code), it.id);
        return out;
    }
    std::vector<Item> items;
};

constexpr uint64_t T1 = time_of_day(8, 0, 1), T2 = time_of_day(8, 0, 2), T3 = time_of_day(8, 0, 3);
constexpr uint16_t SELECTED = 7, ALSO_SELECTED = 5, NOT_SELECTED = 8;

class ReaderTest : public ::testing::Test {
protected:
    ReaderTest() {
        filter.addId(SELECTED * 1024 + 2);
        filter.addId(ALSO_SELECTED * 1024);
    }
    void read(const PathList& paths) {
        Parser parser(&filter);
        parser.exportFiles(&sink, &paths);
    }

    TempDir dir;
    Filter filter{"2000-01-01 00:00:00", "2099-12-31 23:59:59"};
    RecordingSink sink;
};

TEST_F(ReaderTest, EmptyPathListDeliversNothing) {
    read({});
    EXPECT_TRUE(sink.items.empty());
}

TEST_F(ReaderTest, SkipsUnselectedIdsAndSystemItemsTakeTheIdBeforeThem) {
    ArchiveBytes file;
    file.alarm(T1, AlByte, 0, 1, NOT_SELECTED, {1})
        .system(T1, 1, 0)  // id 8: skipped
        .alarm(T2, AlWord, 0, 1, SELECTED, {2})
        .system(T2, 1, 0)  // id 7: delivered
        .group(T3, GrShort, 0, 1, NOT_SELECTED, {3, 4})
        .group(T3, GrShort, 0, 1, ALSO_SELECTED, {5, 6})
        .system(T3, 2, 0);  // id 5
    read({dir.write("a.vlx", file.bytes)});
    EXPECT_EQ(sink.seen(), (Seen{{0, AlWord, 7}, {0, System, 7}, {0, GrShort, 5}, {0, System, 5}}));
}

// However a file ends, the next one is decoded from its own first byte and
// starts at day 0.
struct FileEnding {
    const char* name;
    ArchiveBytes first;
    Seen from_first;
};

const FileEnding FILE_ENDINGS[] = {
    {"ZeroBytes", ArchiveBytes(), {}},
    {"EndByteThenJunk",  // a record and a bad one after the end: never read
     ArchiveBytes().date_mark(300).alarm(T1, AlByte, 0, 1, SELECTED, {1}).end_byte()
         .alarm(T2, AlByte, 0, 1, SELECTED, {2}).head(T2, 13, 0, 0),
     {{300, AlByte, 7}}},
    {"RecordCutShort",
     ArchiveBytes().date_mark(300).alarm(T1, AlByte, 0, 1, SELECTED, {1}).group(T2, GrByte, 0, 4, SELECTED, {1, 2}),
     {{300, AlByte, 7}}},
    {"DateMarksLast", ArchiveBytes().alarm(T1, AlBool, 0, 1, SELECTED).date_mark(300).date_mark(301), {{0, AlBool, 7}}},
};

void PrintTo(const FileEnding& c, std::ostream* os) { *os << c.name; }

class FileEndingTest : public ReaderTest, public ::testing::WithParamInterface<FileEnding> {};

TEST_P(FileEndingTest, NextFileStartsAfresh) {
    ArchiveBytes second;
    second.alarm(T1, AlLong, 0, 1, SELECTED, {9}).date_mark(12).alarm(T2, AlLong, 0, 1, ALSO_SELECTED, {9});
    read({dir.write("1.vlx", GetParam().first.bytes), dir.write("2.vlx", second.bytes)});
    auto want = GetParam().from_first;
    want.insert(want.end(), {{0, AlLong, 7}, {12, AlLong, 5}});
    EXPECT_EQ(sink.seen(), want);
}

INSTANTIATE_TEST_SUITE_P(Reader, FileEndingTest, ::testing::ValuesIn(FILE_ENDINGS),
                         [](const auto& info) { return std::string(info.param.name); });

// A malformed record in the second of three files; the third does not exist
// and must never be opened.
struct Malformed {
    const char* name;
    ArchiveBytes record;
    uint64_t ticks;  // as the bad record's six time bytes read
    int id;          // left in the error item: from the bad record or the item before it
};

const Malformed MALFORMED[] = {
    {"ReservedClass", ArchiveBytes().head(T3, 13, 1, 0), T3, ALSO_SELECTED},
    {"ReservedGroupClass", ArchiveBytes().head(T3, 30, 0, 0), T3, ALSO_SELECTED},
    {"DateMarkHighWord", ArchiveBytes().u16(0x8001).u32(20), 0x8001'00000014, ALSO_SELECTED},
    {"DateMarkDayTooLarge", ArchiveBytes().u16(0x8000).u32(65536), 0x8000'00010000, ALSO_SELECTED},
    {"GroupOver512Bytes", ArchiveBytes().group(T3, GrDouble, 0, 65, 9, std::vector<uint8_t>(520)), T3, 9},
};

void PrintTo(const Malformed& c, std::ostream* os) { *os << c.name; }

class MalformedTest : public ReaderTest, public ::testing::WithParamInterface<Malformed> {};

TEST_P(MalformedTest, HandsOnAnErrorItemThenFailsWithTheOffset) {
    const Malformed& bad = GetParam();
    ArchiveBytes first, second;
    first.alarm(T1, AlByte, 0, 1, SELECTED, {1}).alarm(T1, AlByte, 0, 1, NOT_SELECTED, {1});
    second.date_mark(4000).alarm(T1, AlShort, 0, 1, ALSO_SELECTED, {2}).date_mark(4001);
    const std::size_t offset = second.bytes.size();
    second.raw(bad.record.bytes).alarm(T2, AlShort, 0, 1, SELECTED, {3});
    const PathList paths = {dir.write("1.vlx", first.bytes), dir.write("2.vlx", second.bytes), dir.path("3.vlx")};

    try {
        read(paths);
        FAIL() << "no FileFormatError";
    } catch (const FileFormatError& e) {
        EXPECT_STREQ(e.what(), "Error occured while reading file.");
        EXPECT_EQ(e.path, paths[1]);
        EXPECT_EQ(e.offset, int64_t(offset));
    }
    ASSERT_EQ(sink.seen(), (Seen{{0, AlByte, 7}, {4000, AlShort, 5}, {4001, System, bad.id}}));
    const Item& error = sink.items.back();
    EXPECT_EQ(error.code, ARCODE(0, 2));
    EXPECT_EQ(error.param, 4);
    EXPECT_EQ(uint64_t(error.ticks_hi) << 32 | error.ticks_lo, bad.ticks);
}

INSTANTIATE_TEST_SUITE_P(Reader, MalformedTest, ::testing::ValuesIn(MALFORMED),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReaderTest, MissingFileStopsTheRunAfterTheFilesBeforeIt) {
    ArchiveBytes file;
    file.date_mark(5).alarm(T1, AlBool, 0, 1, SELECTED).alarm(T2, AlBool, 0, 1, ALSO_SELECTED);
    const PathList paths = {dir.write("1.vlx", file.bytes), dir.path("missing.vlx"), dir.write("3.vlx", file.bytes)};
    try {
        read(paths);
        FAIL() << "no FileOpenError";
    } catch (const FileOpenError& e) {
        EXPECT_STREQ(e.what(), "File does not exist!");
        EXPECT_EQ(e.path, paths[1]);
        EXPECT_EQ(e.os_error, ENOENT);
    }
    EXPECT_EQ(sink.seen(), (Seen{{5, AlBool, 7}, {5, AlBool, 5}}));
}

// File by file, one reader reads as one run over the list does: each file
// from day 0, a leading system item selected by the id the file before left.
// A new run starts from id 0.
TEST_F(ReaderTest, FileByFileReadsAsOneRunAndEachRunStartsFromIdZero) {
    ArchiveBytes first, second;
    first.date_mark(9).alarm(T1, AlBool, 0, 1, SELECTED);
    second.system(T2, 1, 0).alarm(T3, AlBool, 0, 1, ALSO_SELECTED);
    const PathList paths = {dir.write("1.vlx", first.bytes), dir.write("2.vlx", second.bytes)};
    const Seen whole{{9, AlBool, 7}, {0, System, 7}, {0, AlBool, 5}};
    Parser parser(&filter);
    for (const std::string& path : paths) parser.read_file(&sink, path);
    EXPECT_EQ(sink.seen(), whole);
    sink.items.clear();
    parser.exportFiles(&sink, &paths);
    EXPECT_EQ(sink.seen(), whole);
    sink.items.clear();
    const PathList only_second = {paths[1]};
    parser.exportFiles(&sink, &only_second);  // id 0 is not selected
    EXPECT_EQ(sink.seen(), (Seen{{0, AlBool, 5}}));
}

// ---- Files larger than the window ----------------------------------------

constexpr uint16_t UNSELECTED_ID = 9;  // ids 1..8 are selected

// Writes an archive and records, alongside, the items a reader must deliver
// from it, as decoding the whole file from one buffer gives them.
class Script {
public:
    std::size_t size() const { return written + file.bytes.size(); }
    // The bytes so far go to `path`, and from memory; the state stays.
    void write_to(const std::string& path) {
        std::ofstream(path, std::ios::binary | std::ios::app)
            .write(reinterpret_cast<const char*>(file.bytes.data()), std::streamsize(file.bytes.size()));
        written += file.bytes.size();
        file.bytes = {};
    }

    void day(uint32_t d) {
        file.date_mark(d);
        if (!ended) current_day = d;
    }
    void days(int count) {
        for (int i = 0; i < count; ++i) day(20000 + uint32_t(i % 1000));
    }
    // A string alarm's text is end bytes: a misplaced read would end the data.
    void record(int cls, uint8_t param, uint16_t id, uint16_t text = 0) {
        const uint64_t tod = next_time();
        const int sub = int(size() % 8);
        std::vector<uint8_t> payload(payload_size(cls, param));
        for (uint8_t& b : payload) b = uint8_t(salt++ * 37);  // 0xFF among them
        if (cls == System) file.system(tod, sub, param);
        else if (cls == AlString) file.string_alarm(tod, sub, param, id, std::string(text, '\xFF'));
        else if (cls >= GrBool && cls <= GrError) file.group(tod, cls, sub, param, id, payload);
        else file.alarm(tod, cls, sub, param, id, payload);
        if (cls != System) last_id = id;
        expect({current_day, uint16_t(tod >> 32), uint32_t(tod), ARCODE(cls, sub), param, last_id,
                cls == AlString ? text + 1 : 0, payload});
    }
    void string(uint16_t text, uint16_t id) { record(AlString, 0, id, text); }
    void every_class(uint16_t id) {
        for (int cls : {AlBool, AlByte, AlShort, AlLong, AlWord, AlDWord, AlFloat, AlDouble, AlTime, AlLarge,
                        AlError, AlAckn})
            record(cls, 1, id);
        record(System, 3, 0);
        for (uint16_t length : {0, 300, 65535}) string(length, id);
        const std::pair<int, uint8_t> groups[] = {{GrBool, 0},    {GrBool, 9},    {GrBool, 255},  {GrByte, 0},
                                                  {GrByte, 255},  {GrShort, 255}, {GrLong, 128},  {GrWord, 7},
                                                  {GrDWord, 128}, {GrFloat, 128}, {GrDouble, 64}, {GrTime, 64},
                                                  {GrLarge, 64},  {GrError, 255}};
        for (auto [cls, count] : groups) record(cls, count, id);
    }
    // String alarms up to `offset` exactly.
    void fill_to(std::size_t offset) {
        while (size() < offset) {
            const std::size_t gap = offset - size();
            if (gap < 12) throw std::logic_error("no record fits the gap");
            std::size_t text = std::min<std::size_t>(gap - 12, 65535);
            if (gap - 12 - text != 0 && gap - 12 - text < 12) text -= 12;
            string(uint16_t(text), 2);
        }
    }
    // Many records of every class and id, a long run of date marks last;
    // nothing once the file is cut short.
    void tail() {
        if (cut_short) return;
        for (uint16_t i = 0; i < 30; ++i) {
            day(9100 + i);
            every_class(1 + i % UNSELECTED_ID);
        }
        days(5000);
    }
    void end_byte_then_junk() {
        file.end_byte();
        ended = true;
    }
    // The file ends `n` bytes before the end of the last record.
    void cut(std::size_t n) {
        file.bytes.resize(file.bytes.size() - n);
        expected.pop_back();
        ended = cut_short = true;
    }
    // A record of a reserved class; the reader hands on an error item for it.
    void malformed() {
        malformed_at = size();
        const uint64_t tod = next_time();
        file.head(tod, 14, 0, 0);
        expected.push_back({current_day, uint16_t(tod >> 32), uint32_t(tod), ARCODE(0, 2), 4, last_id, 0, {}});
        ended = true;
    }

    ArchiveBytes file;
    std::vector<Item> expected;
    std::optional<std::size_t> malformed_at;

private:
    uint64_t next_time() { return clock = (clock + 1234567891) % NS_PER_DAY; }
    void expect(Item item) {
        if (!ended && item.id != UNSELECTED_ID) expected.push_back(std::move(item));
    }

    std::size_t written = 0;
    bool ended = false, cut_short = false;
    uint32_t current_day = 0;
    uint16_t last_id = 0;
    uint64_t clock = 0;
    unsigned salt = 0;
};

// What meets the end of the first window (WINDOW_SIZE bytes into the file):
// the window ends `split` bytes into what `place` writes. An item that leaves
// 511 bytes or fewer in the window is refilled after, so 100 date marks
// (600 bytes) bring a record to the end with no refill before it.
struct Straddle {
    const char* name;
    std::size_t split;
    void (*place)(Script&);
};

const Straddle STRADDLES[] = {
    {"StringText", 40000, [](Script& s) { s.string(65535, 3); }},
    {"MarksThenTicks", 600 + 3, [](Script& s) { s.days(100); s.string(65535, 3); }},
    {"MarksThenCode", 600 + 6, [](Script& s) { s.days(100); s.record(GrBool, 0, 3); }},
    {"MarksThenParam", 600 + 7, [](Script& s) { s.days(100); s.record(AlByte, 1, 3); }},
    {"MarksThenId", 600 + 9, [](Script& s) { s.days(100); s.record(GrLarge, 64, 4); }},
    {"MarksThenStringLength", 600 + 11, [](Script& s) { s.days(100); s.string(65535, 3); }},
    {"MarksThenAlarmPayload", 600 + 11, [](Script& s) { s.days(100); s.record(AlDWord, 1, 4); }},
    {"MarksThenGroupPayload", 600 + 100, [](Script& s) { s.days(100); s.record(GrDouble, 64, 4); }},
    // Long runs of date marks drain the window; its end splits a mark or
    // falls between two.
    {"DateMarksAcrossEnd", 60003, [](Script& s) { s.days(20000); s.record(AlByte, 1, 6); }},
    {"DateMarksUpToEnd", 60000, [](Script& s) { s.days(20000); s.record(AlByte, 1, 6); }},
    {"GroupAfterRefillAt511", 511, [](Script& s) { s.record(GrDouble, 64, 4); }},
    {"GroupAfter512Left", 512, [](Script& s) { s.record(GrDouble, 64, 4); }},
    {"RecordsFromWindowEnd", 0, [](Script& s) { s.every_class(5); }},
    {"EndByteAtWindowEnd", 0, [](Script& s) { s.end_byte_then_junk(); }},
    {"FileEndsInsideRecord", 5, [](Script& s) { s.record(GrDouble, 64, 6); s.cut(400); }},
    {"MalformedAcrossEnd", 600 + 3, [](Script& s) { s.days(100); s.malformed(); }},
    {"MalformedPastEnd", 300, [](Script& s) { s.record(GrDouble, 64, 6); s.every_class(2); s.malformed(); }},
};

void expect_same_items(const std::vector<Item>& got, const std::vector<Item>& want) {
    for (std::size_t i = 0; i < std::min(got.size(), want.size()); ++i) {
        ASSERT_EQ(got[i], want[i]) << "item " << i << " of " << want.size();
    }
    EXPECT_EQ(got.size(), want.size());
}

// Every case shares the first 64 MiB less 70,000 bytes (written once) and
// one reader, as the files of one call do.
TEST(LargeFileTest, RecordsAcrossTheWindowEndDecodeAsFromOneBuffer) {
    TempDir dir;
    const std::string path = dir.path("big.vlx");
    Script prefix;
    prefix.file.bytes.reserve(WINDOW_SIZE);
    prefix.day(9000);
    prefix.every_class(1);
    prefix.fill_to(WINDOW_SIZE - 70000);
    prefix.write_to(path);

    Filter filter("2000-01-01 00:00:00", "2099-12-31 23:59:59");
    for (int id = 1; id < UNSELECTED_ID; ++id) filter.addId(id * 1024);
    Parser parser(&filter);
    for (const Straddle& straddle : STRADDLES) {
        SCOPED_TRACE(straddle.name);
        Script s = prefix;
        s.fill_to(WINDOW_SIZE - straddle.split);
        straddle.place(s);
        s.tail();
        fs::resize_file(path, prefix.size());
        s.write_to(path);
        ASSERT_GT(s.size(), std::size_t(WINDOW_SIZE));

        RecordingSink sink;
        const PathList paths = {path};
        std::optional<FileFormatError> error;
        try {
            parser.exportFiles(&sink, &paths);
        } catch (const FileFormatError& e) {
            error = e;
        }
        EXPECT_EQ(error.has_value(), s.malformed_at.has_value());
        if (error && s.malformed_at) {
            EXPECT_EQ(error->offset, int64_t(*s.malformed_at));
        }
        expect_same_items(sink.items, s.expected);
    }
}

}  // namespace
}  // namespace zentrail
