#include "selection/file_identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "selection/unique_fd.h"

namespace zentrail {

namespace {

constexpr uint64_t FNV_OFFSET = 0xcbf29ce484222325ull;
constexpr uint64_t FNV_PRIME = 0x100000001b3ull;

uint64_t fnv1a(const unsigned char* bytes, std::size_t count, uint64_t hash) {
    for (std::size_t k = 0; k < count; ++k) hash = (hash ^ bytes[k]) * FNV_PRIME;
    return hash;
}

// Reads up to `count` bytes at `offset` whole (a short read only at the
// file's end); the bytes read, or -1.
ssize_t read_at(int fd, unsigned char* into, std::size_t count, off_t offset) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = ::pread(fd, into + done, count - done, offset + static_cast<off_t>(done));
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

}  // namespace

FileIdentity file_identity(const std::string& path) {
    FileIdentity identity;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return identity;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return identity;
    unsigned char edge[IDENTITY_EDGE_BYTES];
    const ssize_t head = read_at(fd.get(), edge, sizeof edge, 0);
    if (head < 0) return identity;
    uint64_t hash = fnv1a(edge, static_cast<std::size_t>(head), FNV_OFFSET);
    if (st.st_size > IDENTITY_EDGE_BYTES) {
        const off_t from = st.st_size - IDENTITY_EDGE_BYTES > IDENTITY_EDGE_BYTES ? st.st_size - IDENTITY_EDGE_BYTES
                                                                                  : IDENTITY_EDGE_BYTES;
        const ssize_t tail = read_at(fd.get(), edge, sizeof edge, from);
        if (tail < 0) return identity;
        hash = fnv1a(edge, static_cast<std::size_t>(tail), hash);
    }
    identity.found = true;
    identity.size = static_cast<int64_t>(st.st_size);
    identity.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    identity.inode = static_cast<uint64_t>(st.st_ino);
    identity.device = static_cast<uint64_t>(st.st_dev);
    identity.edges = hash;
    return identity;
}

}  // namespace zentrail
