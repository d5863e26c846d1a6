#include "archive/buffer.h"

#include <algorithm>
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
    std::memcpy(out, data.get() + pos, static_cast<std::size_t>(n));
    std::reverse(out, out + n);
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

void Buffer::extend(const unsigned char* src, int n) {
    _compact();
    if (n > WINDOW_SIZE - end) throw std::length_error("Cannot extend with given bytes!");
    if (n > 0) std::memcpy(data.get() + end, src, static_cast<std::size_t>(n));
    end += n;
    length = end - pos;
}

}  // namespace zentrail
