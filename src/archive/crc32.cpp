#include "archive/crc32.h"

#include <zlib.h>

#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define ZENTRAIL_FOLDED_CRC 1
#endif

namespace zentrail {

namespace {

uint32_t zlib_crc(uint32_t crc, const unsigned char* p, std::size_t n) {
    // zlib takes at most 4 GiB at a time (uInt).
    while (n > 0) {
        const std::size_t piece = n < (1u << 30) ? n : (1u << 30);
        crc = static_cast<uint32_t>(crc32(crc, p, static_cast<uInt>(piece)));
        p += piece;
        n -= piece;
    }
    return crc;
}

#ifdef ZENTRAIL_FOLDED_CRC
// The bytes, taken as a polynomial over GF(2), are folded 64 bytes at a time
// into four 128-bit remainders, then into one, keeping the CRC they give:
// each fold multiplies the remainder by x to the power of the distance it
// moves (mod the polynomial) and adds it to the bytes that far on. The
// remainder's own CRC, with the bytes after the last whole 16, is the CRC.
// The constants are those powers for the zip polynomial, bit-reflected as
// the CRC is: a distance of 512 bits (lo, hi), then of 128.
__attribute__((target("pclmul,sse2"))) inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

__attribute__((target("pclmul,sse2"))) uint32_t folded_crc(uint32_t crc, const unsigned char* p, std::size_t n) {
    const __m128i by_512 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    const __m128i by_128 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    const auto load = [](const unsigned char* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); };
    // The register before the bytes (zlib's crc is its complement), added
    // to their first 32 bits.
    __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(~crc)));
    __m128i x1 = load(p + 16), x2 = load(p + 32), x3 = load(p + 48);
    p += 64;
    n -= 64;
    for (; n >= 64; p += 64, n -= 64) {
        x0 = fold(x0, by_512, load(p));
        x1 = fold(x1, by_512, load(p + 16));
        x2 = fold(x2, by_512, load(p + 32));
        x3 = fold(x3, by_512, load(p + 48));
    }
    __m128i x = fold(fold(fold(x0, by_128, x1), by_128, x2), by_128, x3);
    for (; n >= 16; p += 16, n -= 16) x = fold(x, by_128, load(p));
    unsigned char rest[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rest), x);
    // The CRC of the remainder from a register of zero.
    return zlib_crc(zlib_crc(0xFFFFFFFFu, rest, sizeof rest), p, n);
}

bool has_carryless_multiply() {
    static const bool has = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
    return has;
}
#endif

}  // namespace

uint32_t crc32_of(uint32_t crc, const unsigned char* p, std::size_t n) {
#ifdef ZENTRAIL_FOLDED_CRC
    if (n >= 64 && has_carryless_multiply()) return folded_crc(crc, p, n);
#endif
    return zlib_crc(crc, p, n);
}

}  // namespace zentrail
