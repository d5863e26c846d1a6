// The byte window through which the reader sees one archive file.
#pragma once

#include <cstdint>
#include <memory>

namespace zentrail {

// Big-endian values from bytes.
inline uint16_t load_be16(const unsigned char* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t load_be32(const unsigned char* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Capacity of the window: no byte is ever stored at or past this index.
#ifndef ZENTRAIL_WINDOW_SIZE
#define ZENTRAIL_WINDOW_SIZE 0x4000000  // 64 MiB
#endif
constexpr int32_t WINDOW_SIZE = ZENTRAIL_WINDOW_SIZE;
// The least storage a window allocates once it holds a byte. The storage
// then doubles as the bytes need, up to the window: a reader of small files
// holds little, and one of large files reaches the window in a few steps.
constexpr int32_t FIRST_STORAGE_SIZE = 1 << 16;
// Where the reader's appends land when the window has room: see
// prepare_append.
constexpr int32_t APPEND_ALIGNMENT = 4096;

struct FreeDeleter {
    void operator()(void* p) const noexcept;
};
using HeapBytes = std::unique_ptr<unsigned char[], FreeDeleter>;

// The reads trust their caller: the decoder checks that the bytes it is
// about to take are unread bytes of the window before it takes them.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    uint8_t byte_top() const { return data[pos]; }
    void shift(int n) {
        pos += n;
        length = end - pos;
    }
    uint8_t grab_byte() {
        uint8_t b = data[pos];
        shift(1);
        return b;
    }
    uint16_t grab_word() {
        uint16_t v = load_be16(data.get() + pos);
        shift(2);
        return v;
    }
    uint32_t grab_dword() {
        uint32_t v = load_be32(data.get() + pos);
        shift(4);
        return v;
    }
    // The unread bytes, for a caller that has checked how many there are.
    const unsigned char* unread() const { return data.get() + pos; }
    // Copies n bytes to dst with their order reversed: one big-endian value
    // lands least significant byte first, an array lands in reverse order.
    void grab_bytes(void* dst, int n);

    int32_t get_length() const { return length; }

    // Appends n bytes after moving the unread bytes to the front; throws
    // std::length_error("Cannot extend with given bytes!") when they do not fit.
    void extend(const unsigned char* src, int n);

    // Appending in place, for a reader that reads a file straight into the
    // window: prepare_append moves the unread bytes to just before a page
    // boundary (or, in a window too small for that, to the front) and
    // returns where new bytes go and how many of at most `wanted` fit (the
    // window less the bytes before that point); commit_append then takes the n bytes written
    // there (n no more than that room). Throws std::bad_alloc when the
    // storage cannot grow to the room.
    unsigned char* prepare_append(int wanted, int* room);
    void commit_append(int n);

    // Test access to the raw state.
    int32_t position() const { return pos; }
    int32_t end_index() const { return end; }
    const unsigned char* storage() const { return data.get(); }
    int32_t storage_size() const { return capacity; }

private:
    void _compact();
    // Makes the storage hold at least n bytes (n at most WINDOW_SIZE).
    void _reserve(int32_t n);

    HeapBytes data;
    int32_t capacity = 0;
    int32_t pos = 0;
    int32_t end = 0;
    int32_t length = 0;
};

}  // namespace zentrail
