#include "archive/buffer.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace zentrail {

void FreeDeleter::operator()(void* p) const noexcept { std::free(p); }

HeapBytes allocate_bytes(std::size_t size) {
    void* p = std::malloc(size);
    if (p == nullptr) throw std::bad_alloc();
    return HeapBytes(static_cast<unsigned char*>(p));
}

Buffer::Buffer() : data(allocate_bytes(STORAGE_SIZE)) {}

void Buffer::grab_bytes(void* dst, int n) {
    auto* out = static_cast<unsigned char*>(dst);
    const unsigned char* in = data.get() + pos + n;  // one past the block
    // Eight bytes at a time: the last eight of the block, byte-swapped, are
    // the first eight of the copy.
    int done = 0;
    for (; n - done >= 8; done += 8) {
        uint64_t word;
        std::memcpy(&word, in - done - 8, 8);
        word = __builtin_bswap64(word);
        std::memcpy(out + done, &word, 8);
    }
    for (; done < n; ++done) out[done] = *(in - done - 1);
    shift(n);
}

void Buffer::_compact() {
    if (length <= 0) {
        pos = 0;
        end = 0;
    } else if (pos > 0) {
        std::memmove(data.get(), data.get() + pos, static_cast<std::size_t>(length));
        pos = 0;
        end = length;
    }
    length = end - pos;
}

unsigned char* Buffer::prepare_append(int* room) {
    _compact();
    *room = WINDOW_SIZE - end;
    return data.get() + end;
}

void Buffer::commit_append(int n) {
    end += n;
    length = end - pos;
}

void Buffer::extend(const unsigned char* src, int n) {
    int room = 0;
    unsigned char* at = prepare_append(&room);
    if (n > room) throw std::length_error("Cannot extend with given bytes!");
    if (n > 0) std::memcpy(at, src, static_cast<std::size_t>(n));
    commit_append(n);
}

}  // namespace zentrail
