// Zip members from any bytes: the member reader must either hand out, in
// pieces of any size, exactly what a one-shot read of the member's data
// gives (its stored bytes, or zlib's inflation of them in one call) with
// the listed size and CRC, or fail with FileFormatError; and a member whose
// directory entry tells the truth about whole data must read.
//
// Input: ten control bytes, then the zip file (its member's local header at
// a byte the control chooses).
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "archive/read_errors.h"
#include "archive/zip_member.h"
#include "scratch_file.h"

namespace {

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// The member's data as a one-shot read gives it; false when its local
// header is not whole or not one. *whole: it gave the listed size, and a
// deflated member's stream ended.
bool reference(const std::vector<uint8_t>& zip, const zentrail::ZipMember& m, std::vector<uint8_t>* out,
               bool* whole, bool* ended) {
    const int64_t at = m.header_offset;
    const int64_t end = static_cast<int64_t>(zip.size());
    if (at + 30 > end || std::memcmp(zip.data() + at, "PK\x03\x04", 4) != 0) return false;
    const int64_t start = at + 30 + le16(zip.data() + at + 26) + le16(zip.data() + at + 28);
    if (start > end || m.stored_size > end - start) return false;
    const uint8_t* data = zip.data() + start;
    out->assign(static_cast<std::size_t>(m.size), 0);
    if (m.method == zentrail::ZIP_STORED) {
        const auto n = static_cast<std::size_t>(std::min(m.size, m.stored_size));
        if (n > 0) std::memcpy(out->data(), data, n);
        *whole = m.size == m.stored_size;
        *ended = true;
        return true;
    }
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) std::abort();
    z.next_in = const_cast<uint8_t*>(data);
    z.avail_in = static_cast<uInt>(m.stored_size);
    z.next_out = out->data();
    z.avail_out = static_cast<uInt>(out->size());
    const int rc = inflate(&z, Z_FINISH);
    *whole = rc == Z_STREAM_END && z.avail_out == 0;
    *ended = rc == Z_STREAM_END;
    out->resize(out->size() - z.avail_out);
    inflateEnd(&z);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 10 || size > (1 << 20)) return 0;
    const uint8_t* c = data;
    std::vector<uint8_t> zip(data + 10, data + size);
    zentrail::ZipMember m;
    m.method = (c[0] & 0x80) != 0 ? c[1] : ((c[0] & 1) != 0 ? zentrail::ZIP_DEFLATED : zentrail::ZIP_STORED);
    const std::size_t piece = 1 + (le16(c + 2) % 70000u);
    m.header_offset = c[4] % 4;
    m.stored_size = le16(c + 6);
    m.size = 3 * int64_t{le16(c + 8)};
    // An honest directory: the data runs to the end of the zip file, and
    // the size and CRC are what it holds.
    const bool honest = (c[5] & 1) != 0;
    std::vector<uint8_t> expected;
    bool whole = false, ended = false;
    if (honest && m.header_offset + 30 <= static_cast<int64_t>(zip.size())) {
        const uint8_t* h = zip.data() + m.header_offset;
        m.stored_size = static_cast<int64_t>(zip.size()) - (m.header_offset + 30 + le16(h + 26) + le16(h + 28));
        if (m.stored_size < 0) m.stored_size = 0;
        m.size = m.method == zentrail::ZIP_STORED ? m.stored_size : 4 * m.stored_size + 64;
    }
    const bool found = reference(zip, m, &expected, &whole, &ended);
    if (honest) {
        // The size listed is what the data inflates to, when it ends.
        if (m.method == zentrail::ZIP_DEFLATED) m.size = static_cast<int64_t>(expected.size());
        whole = found && ended && (m.method == zentrail::ZIP_STORED || m.method == zentrail::ZIP_DEFLATED);
    }
    m.crc = static_cast<uint32_t>(crc32(0, expected.data(), static_cast<uInt>(expected.size())));
    if ((c[5] & 2) != 0) m.crc ^= 1;  // a CRC that does not match

    const std::string path = fuzz_support::scratch_file();
    fuzz_support::write_file(path, zip.data(), zip.size());
    m.zip_path = path;
    std::vector<uint8_t> got;
    bool read = false;
    try {
        zentrail::MemberReader reader(m, "member");
        std::vector<uint8_t> buffer(piece);
        for (;;) {
            const std::size_t n = reader.read(buffer.data(), piece);
            if (n == 0) break;
            got.insert(got.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
            if (got.size() > static_cast<std::size_t>(m.size)) std::abort();
        }
        read = true;
    } catch (const zentrail::FileFormatError&) {
    }
    if (read) {
        // What it handed out is the member: its listed size, its CRC, and
        // the bytes a one-shot read gives.
        if (!found || got.size() != static_cast<std::size_t>(m.size) || got != expected) std::abort();
        if (static_cast<uint32_t>(crc32(0, got.data(), static_cast<uInt>(got.size()))) != m.crc) std::abort();
    } else if (honest && whole && (c[5] & 2) == 0 && (le16(zip.data() + m.header_offset + 6) & 1) == 0 &&
               le16(zip.data() + m.header_offset + 8) == m.method) {
        std::abort();  // a true directory entry of whole data must read
    }
    return 0;
}
