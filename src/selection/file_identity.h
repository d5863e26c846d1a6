// What makes a file the same file from one read to the next: its size,
// modification time, inode and device, and a hash of its first and last
// bytes (a file rewritten to the same size within the clock's resolution
// keeps its stat fields, rarely its edges).
#pragma once

#include <cstdint>
#include <string>

namespace zentrail {

struct FileIdentity {
    bool found = false;  // a regular file that could be opened and read
    int64_t size = 0;
    int64_t mtime_ns = 0;
    uint64_t inode = 0;
    uint64_t device = 0;
    uint64_t edges = 0;  // FNV-1a of the first and the last EDGE_BYTES
};

// The bytes hashed at each end of a file.
constexpr int64_t IDENTITY_EDGE_BYTES = 4096;

// The identity of the file at `path` now (found false where it is none).
FileIdentity file_identity(const std::string& path);

}  // namespace zentrail
