#include "archive/buffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <new>
#include <stdexcept>

namespace zentrail {

void FreeDeleter::operator()(void* p) const noexcept { std::free(p); }

void Buffer::_reserve(int32_t n) {
    if (n <= capacity) return;
    int32_t grown = capacity == 0 ? FIRST_STORAGE_SIZE : capacity;
    while (grown < n && grown <= WINDOW_SIZE / 2) grown *= 2;
    grown = std::min(std::max(grown, n), WINDOW_SIZE);
    // Page-aligned, so that appends land at a page boundary (see
    // prepare_append); on failure the old storage stays as it was.
    void* p = nullptr;
    if (::posix_memalign(&p, APPEND_ALIGNMENT, static_cast<std::size_t>(grown)) != 0) throw std::bad_alloc();
    if (end > 0) std::memcpy(p, data.get(), static_cast<std::size_t>(end));
    data.reset(static_cast<unsigned char*>(p));
    capacity = grown;
}

#if defined(__SSE2__)
namespace {
// The 16 bytes of v in reverse order, with SSE2 alone (every x86-64 has it).
inline __m128i reversed(__m128i v) {
    v = _mm_shuffle_epi32(v, _MM_SHUFFLE(0, 1, 2, 3));    // the four 32-bit parts
    v = _mm_shufflelo_epi16(v, _MM_SHUFFLE(2, 3, 0, 1));  // the two halves of each
    v = _mm_shufflehi_epi16(v, _MM_SHUFFLE(2, 3, 0, 1));
    return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));  // the two bytes of each half
}
}  // namespace
#endif

void Buffer::grab_bytes(void* dst, int n) {
    auto* out = static_cast<unsigned char*>(dst);
    const unsigned char* in = data.get() + pos + n;  // one past the block
    // Sixteen, then eight bytes at a time: the last ones of the block,
    // reversed, are the first ones of the copy.
    int done = 0;
#if defined(__SSE2__)
    for (; n - done >= 16; done += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in - done - 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + done), reversed(block));
    }
#endif
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

// The kernel copies a file's bytes out of the page cache several times
// faster to a page-aligned address than to most others (a few bytes off, the
// copy's loads keep hitting the stores just made in the same page offset).
// So the unread bytes are moved to just before a page boundary and the new
// bytes land on it, when the window has room for that and a whole request.
unsigned char* Buffer::prepare_append(int wanted, int* room) {
    wanted = std::max(wanted, 0);
    const int32_t unread = std::max(length, 0);
    const int32_t aligned_end = (unread + APPEND_ALIGNMENT - 1) / APPEND_ALIGNMENT * APPEND_ALIGNMENT;
    if (end == aligned_end) {
        // Already in place.
    } else if (wanted > 0 && wanted <= WINDOW_SIZE - aligned_end) {
        const int32_t to = aligned_end - unread;
        _reserve(aligned_end + wanted);
        if (unread > 0) std::memmove(data.get() + to, data.get() + pos, static_cast<std::size_t>(unread));
        pos = to;
        end = aligned_end;
        length = unread;
    } else {
        _compact();
    }
    *room = std::min(wanted, WINDOW_SIZE - end);
    _reserve(end + *room);
    return data.get() + end;
}

void Buffer::commit_append(int n) {
    end += n;
    length = end - pos;
}

void Buffer::extend(const unsigned char* src, int n) {
    _compact();
    if (n > WINDOW_SIZE - end) throw std::length_error("Cannot extend with given bytes!");
    if (n <= 0) return;
    _reserve(end + n);
    std::memcpy(data.get() + end, src, static_cast<std::size_t>(n));
    commit_append(n);
}

}  // namespace zentrail
