#include "archive/zip_member.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <sys/stat.h>

#include "archive/crc32.h"
#include "archive/read_errors.h"

namespace zentrail {

namespace {

constexpr uint32_t LOCAL_HEADER_SIGNATURE = 0x04034b50;
constexpr int64_t LOCAL_HEADER_SIZE = 30;
// Compressed bytes read from the zip file at a time: a deflated member
// inflates to about this many times more, in the reader's pieces.
constexpr std::size_t INPUT_SIZE = 1 << 16;
const char* const IN_ZIP = "the zip file";
constexpr int64_t PAGE = 4096;

uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t le32(const unsigned char* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// Reads up to n bytes at `offset`, as many as the file holds there.
std::size_t read_at(int fd, unsigned char* out, std::size_t n, int64_t offset, const std::string& name) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::pread(fd, out + got, n - got, static_cast<off_t>(offset + static_cast<int64_t>(got)));
        if (r == 0) break;
        if (r < 0) {
            if (errno == EINTR) continue;
            throw FileReadError(name, offset + static_cast<int64_t>(got), errno);
        }
        got += static_cast<std::size_t>(r);
    }
    return got;
}

}  // namespace

MemberReader::MemberReader(const ZipMember& member, std::string name)
    : member(member), name(std::move(name)) {
    owned.reset(::open(member.zip_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!owned) throw FileOpenError(this->name, errno);
    fd = owned.get();
    // Read front to back, as a file of its own is.
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    _check_header();
}

MemberReader::MemberReader(int fd, const ZipMember& member, std::string name)
    : member(member), name(std::move(name)), fd(fd) {
    _check_header();
}

MemberReader::~MemberReader() {
    if (stream) inflateEnd(stream.get());
}

void MemberReader::_damaged(const char* reason, int64_t offset) const {
    throw FileFormatError(name, offset, reason, IN_ZIP);
}

void MemberReader::_check_header() {
    struct stat status;
    if (::fstat(fd, &status) != 0) throw FileOpenError(name, errno);
    const int64_t end = status.st_size;
    const int64_t at = member.header_offset;
    unsigned char head[LOCAL_HEADER_SIZE];
    if (at < 0 || at > end || LOCAL_HEADER_SIZE > end - at ||
        read_at(fd, head, sizeof head, at, name) != sizeof head || le32(head) != LOCAL_HEADER_SIGNATURE) {
        _damaged("zip member without its local header", at);
    }
    // Sizes and CRC are the directory's (a member written as a stream has
    // zeros here); the method must agree with it.
    if ((le16(head + 6) & 1) != 0) _damaged("zip member is encrypted", at);
    if (le16(head + 8) != member.method) _damaged("zip member's local header disagrees on its method", at);
    if (member.method != ZIP_STORED && member.method != ZIP_DEFLATED) {
        _damaged("zip member is compressed by a method other than stored or deflated", at);
    }
    const int64_t pos = at + LOCAL_HEADER_SIZE + le16(head + 26) + le16(head + 28);
    if (pos > end || member.stored_size < 0 || member.stored_size > end - pos || member.size < 0) {
        _damaged("zip member runs past the end of the zip file", at);
    }
    if (member.method == ZIP_STORED && member.stored_size != member.size) {
        _damaged("stored zip member's sizes disagree", at);
    }
    data_offset = pos;
    crc = 0;
    if (member.method == ZIP_DEFLATED) {
        stream = std::make_unique<z_stream_s>();
        // Raw deflate: a zip member has no zlib header of its own.
        if (inflateInit2(stream.get(), -MAX_WBITS) != Z_OK) {
            stream.reset();
            throw std::bad_alloc();
        }
        input.resize(static_cast<std::size_t>(std::min<int64_t>(INPUT_SIZE, std::max<int64_t>(member.stored_size, 1))));
    }
}

std::size_t MemberReader::read(unsigned char* out, std::size_t wanted) {
    if (ended || wanted == 0) return 0;
    const std::size_t n = member.method == ZIP_STORED ? _read_stored(out, wanted) : _inflate(out, wanted);
    _produced(out, n);
    return n;
}

void MemberReader::_produced(const unsigned char* out, std::size_t n) {
    // Checked as the bytes pass, while they are in the processor's cache.
    crc = crc32_of(crc, out, n);
    produced += static_cast<int64_t>(n);
    if (produced < member.size) return;
    ended = true;
    if (crc != member.crc) _damaged("zip member's CRC does not match its bytes", data_offset);
}

std::size_t MemberReader::_read_stored(unsigned char* out, std::size_t wanted) {
    std::size_t n = static_cast<std::size_t>(std::min<int64_t>(static_cast<int64_t>(wanted), member.size - produced));
    // Ended at a page of the zip file, so that the next read starts at one:
    // the reader's window takes each read at a page, and the kernel copies
    // a page to a page at near twice the pace of a page to a page's middle.
    const int64_t at = data_offset + produced;
    const int64_t page_end = (at + static_cast<int64_t>(n)) & ~int64_t{PAGE - 1};
    if (page_end > at && at + static_cast<int64_t>(n) < data_offset + member.size) {
        n = static_cast<std::size_t>(page_end - at);
    }
    const std::size_t got = read_at(fd, out, n, data_offset + produced, name);
    // The zip file ended early: it shrank since its directory was read.
    if (got < n) _damaged("zip member is cut short", data_offset + produced + static_cast<int64_t>(got));
    consumed += static_cast<int64_t>(got);
    return got;
}

std::size_t MemberReader::_inflate(unsigned char* out, std::size_t wanted) {
    z_stream_s& z = *stream;
    // No more than the directory says it holds: a member that inflates to
    // more is damaged, found at its listed end.
    wanted = static_cast<std::size_t>(std::min<int64_t>(static_cast<int64_t>(wanted), member.size - produced));
    z.next_out = out;
    z.avail_out = static_cast<uInt>(std::min<std::size_t>(wanted, 1u << 30));
    while (z.avail_out > 0) {
        if (z.avail_in == 0 && consumed < member.stored_size) {
            const std::size_t n = static_cast<std::size_t>(std::min<int64_t>(static_cast<int64_t>(input.size()),
                                                                             member.stored_size - consumed));
            const std::size_t got = read_at(fd, input.data(), n, data_offset + consumed, name);
            if (got < n) _damaged("zip member is cut short", data_offset + consumed + static_cast<int64_t>(got));
            consumed += static_cast<int64_t>(got);
            z.next_in = input.data();
            z.avail_in = static_cast<uInt>(got);
        }
        const int rc = ::inflate(&z, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) break;
        if (rc == Z_MEM_ERROR) throw std::bad_alloc();
        if (rc == Z_DATA_ERROR || rc == Z_NEED_DICT) {
            _damaged("zip member's deflated data is damaged", data_offset + consumed - static_cast<int64_t>(z.avail_in));
        }
        // No progress: its data ended before its stream did.
        if (rc == Z_BUF_ERROR) _damaged("zip member is cut short", data_offset + consumed);
    }
    const std::size_t n = wanted - z.avail_out;
    // The stream ended before the listed size: fewer bytes than listed.
    if (n < wanted) _damaged("zip member is cut short", data_offset + consumed - static_cast<int64_t>(z.avail_in));
    return n;
}

}  // namespace zentrail
