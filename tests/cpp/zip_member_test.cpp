// A zip member read where it lies gives the items of the same bytes read as
// a file of their own, stored or deflated, across many refills of the
// window; a member whose CRC does not match fails, naming its data's byte
// in the zip file.
#include <gtest/gtest.h>
#include <zlib.h>

#include <tuple>
#include <vector>

#include "archive/parser.h"
#include "archive/read_errors.h"
#include "archive/record_sink.h"
#include "archive/zip_member.h"
#include "archive_bytes.h"
#include "selection/filter.h"
#include "temp_dir.h"

namespace zentrail {
namespace {

using namespace testing;  // zentrail::testing: the archive byte builder

class Recording : public RecordSink {
public:
    void export_value(ACI_WITH_DATE* r) override {
        items.emplace_back(r->date, r->item.ticks_hi, r->item.ticks_lo, r->item.code, r->item.param, r->item.id);
    }
    std::vector<std::tuple<uint32_t, uint16_t, uint32_t, int, int, int>> items;
};

// Many records of selected and other ids: several windows' worth.
std::vector<uint8_t> archive() {
    ArchiveBytes file;
    file.date_mark(300);
    for (int i = 0; i < 40000; ++i) {
        const uint64_t t = time_of_day(1, 0, 0) + uint64_t(i) * 1000003;
        const auto b = [](int v) { return static_cast<uint8_t>(v); };
        file.group(t, GrShort, 0, 2, i % 3 == 0 ? 7 : 8, {b((i >> 8) & 0x7F), b(i), b((i >> 4) & 0x7F), b(i * 7)});
    }
    return file.bytes;
}

std::vector<uint8_t> deflated(const std::vector<uint8_t>& bytes) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::vector<uint8_t> out(deflateBound(&z, static_cast<uLong>(bytes.size())));
    z.next_in = const_cast<uint8_t*>(bytes.data());
    z.avail_in = static_cast<uInt>(bytes.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// A zip file's bytes up to the member's end: junk, its local header (a
// name of odd length, so its data starts off a page), its data.
ZipMember zipped(const TempDir& dir, const std::vector<uint8_t>& bytes, int method, std::vector<uint8_t>* file) {
    const std::vector<uint8_t> data = method == ZIP_DEFLATED ? deflated(bytes) : bytes;
    const std::string name = "2024/2024-03-01_a.vlx";
    *file = std::vector<uint8_t>(13, 0xAB);
    const auto le = [file](uint32_t v, int n) {
        for (int i = 0; i < n; ++i) file->push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    le(0x04034b50, 4), le(20, 2), le(0, 2), le(static_cast<uint32_t>(method), 2), le(0, 4), le(0, 4), le(0, 4),
        le(0, 4), le(static_cast<uint32_t>(name.size()), 2), le(0, 2);
    file->insert(file->end(), name.begin(), name.end());
    file->insert(file->end(), data.begin(), data.end());
    ZipMember member;
    member.zip_path = dir.write("a.zip", *file);
    member.header_offset = 13;
    member.stored_size = static_cast<int64_t>(data.size());
    member.size = static_cast<int64_t>(bytes.size());
    member.method = method;
    member.crc = static_cast<uint32_t>(crc32(0, bytes.data(), static_cast<uInt>(bytes.size())));
    return member;
}

class ZipMemberRead : public ::testing::TestWithParam<int> {
protected:
    ZipMemberRead() { filter.addId(7 * 1024); }
    Filter filter{"2000-01-01 00:00:00", "2099-12-31 23:59:59"};
    TempDir dir;
};

TEST_P(ZipMemberRead, GivesTheItemsOfTheSameBytesAsAFile) {
    const std::vector<uint8_t> bytes = archive();
    std::vector<uint8_t> zip;
    const ZipMember member = zipped(dir, bytes, GetParam(), &zip);
    Recording from_file, from_member;
    Parser(&filter).read_file(&from_file, dir.write("a.vlx", bytes));
    Parser(&filter).read_member(&from_member, "a.zip/2024/2024-03-01_a.vlx", member);
    EXPECT_EQ(from_member.items.size(), 13334u);
    EXPECT_EQ(from_member.items, from_file.items);
}

// It fails as its last bytes are read, before the window holding them is
// decoded: the items handed on are the file's first ones, not all of them.
TEST_P(ZipMemberRead, ACrcThatDoesNotMatchFailsNamingItsDataInTheZipFile) {
    const std::vector<uint8_t> bytes = archive();
    std::vector<uint8_t> zip;
    ZipMember member = zipped(dir, bytes, GetParam(), &zip);
    member.crc ^= 1;
    Recording sink, from_file;
    Parser(&filter).read_file(&from_file, dir.write("a.vlx", bytes));
    try {
        Parser(&filter).read_member(&sink, "a.zip/m", member);
        FAIL() << "no failure";
    } catch (const FileFormatError& e) {
        EXPECT_EQ(e.path, "a.zip/m");
        EXPECT_EQ(e.offset, 13 + 30 + 21);
        EXPECT_EQ(e.reason, "zip member's CRC does not match its bytes");
        EXPECT_EQ(e.counted_in, "the zip file");
    }
    ASSERT_LT(sink.items.size(), from_file.items.size());
    from_file.items.resize(sink.items.size());
    EXPECT_EQ(sink.items, from_file.items);
}

INSTANTIATE_TEST_SUITE_P(Methods, ZipMemberRead, ::testing::Values(ZIP_STORED, ZIP_DEFLATED),
                         [](const auto& info) { return info.param == ZIP_STORED ? "Stored" : "Deflated"; });

}  // namespace
}  // namespace zentrail
