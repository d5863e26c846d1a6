// An archive file kept as a member of a zip file on this machine, read where
// it lies: a stored member straight from its bytes in the zip file, a
// deflated one inflated piece by piece as the reader asks for bytes. Nothing
// of it is copied whole, to memory or to disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "selection/unique_fd.h"

struct z_stream_s;

namespace zentrail {

// Where a member lies, as the zip file's directory lists it.
struct ZipMember {
    std::string zip_path;
    int64_t header_offset = 0;  // its local header's first byte in the zip file
    int64_t stored_size = 0;    // its bytes in the zip file, compressed or not
    int64_t size = 0;           // the bytes it holds
    int method = 0;             // 0 stored, 8 deflated; others are refused
    uint32_t crc = 0;
};

constexpr int ZIP_STORED = 0;
constexpr int ZIP_DEFLATED = 8;

class MemberReader {
public:
    // Opens the member's zip file and checks its local header. `name` is
    // what errors call the member. Throws FileOpenError, FileReadError, or
    // FileFormatError (a bad local header, a method other than stored or
    // deflated, sizes that do not fit in the zip file).
    MemberReader(const ZipMember& member, std::string name);
    // The same over an open zip file (not owned), for a caller holding one.
    MemberReader(int fd, const ZipMember& member, std::string name);
    ~MemberReader();
    MemberReader(const MemberReader&) = delete;
    MemberReader& operator=(const MemberReader&) = delete;

    // The member's next bytes, at most `wanted`, into `out`; 0 once all its
    // bytes are read and their CRC has matched. Throws FileFormatError when
    // its data is damaged or cut short or its CRC does not match, and
    // FileReadError when the zip file cannot be read.
    std::size_t read(unsigned char* out, std::size_t wanted);
    int64_t size() const { return member.size; }

private:
    void _check_header();
    std::size_t _read_stored(unsigned char* out, std::size_t wanted);
    std::size_t _inflate(unsigned char* out, std::size_t wanted);
    void _produced(const unsigned char* out, std::size_t n);
    [[noreturn]] void _damaged(const char* reason, int64_t offset) const;

    ZipMember member;
    std::string name;
    UniqueFd owned;
    int fd = -1;
    int64_t data_offset = 0;  // its data's first byte in the zip file
    int64_t consumed = 0;     // bytes of its data read from the zip file
    int64_t produced = 0;     // bytes of the member handed out
    uint32_t crc = 0;         // of the bytes handed out
    bool ended = false;
    std::unique_ptr<z_stream_s> stream;  // a deflated member's inflater
    std::vector<unsigned char> input;    // and the compressed bytes it reads from
};

}  // namespace zentrail
