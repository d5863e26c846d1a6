// Fixed-length text shapes: the one check behind the date-time pattern, the
// file-name day and the plain bound form.
#pragma once

#include <cstddef>

namespace zentrail {

// Whether the text at `at` has the shape of `shape`, character by character:
// 'd' is an ASCII digit, '.' any byte but a line feed, a carriage return or
// the terminating NUL, anything else itself. `at` must hold a NUL-terminated
// text; no byte past its NUL is read.
constexpr bool matches_shape(const char* at, const char* shape) {
    for (std::size_t i = 0; shape[i] != '\0'; ++i) {
        const char c = at[i];
        const char s = shape[i];
        const bool ok = s == 'd' ? (c >= '0' && c <= '9') : s == '.' ? (c != '\n' && c != '\r' && c != '\0') : c == s;
        if (!ok) return false;
    }
    return true;
}

static_assert(matches_shape("2024-03-01", "dddd-dd-dd") && !matches_shape("2024-3-01", "dddd-dd-dd"));
static_assert(matches_shape("2024/03", "dddd.dd") && !matches_shape("2024\n03", "dddd.dd"));

}  // namespace zentrail
