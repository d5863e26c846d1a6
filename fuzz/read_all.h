// Reads one archive file completely and records what the reader delivers,
// so that two readers built with different window sizes can be compared.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fuzz_support {

struct Delivered {
    uint32_t date;
    uint16_t ticks_hi;
    uint32_t ticks_lo;
    uint8_t code;
    uint8_t param;
    uint16_t id;
    int32_t string_size;
    std::vector<unsigned char> data;  // the whole value area
    bool error_item;

    bool operator==(const Delivered& o) const {
        return date == o.date && ticks_hi == o.ticks_hi && ticks_lo == o.ticks_lo && code == o.code &&
               param == o.param && id == o.id && string_size == o.string_size && data == o.data &&
               error_item == o.error_item;
    }
};

struct ReadOutcome {
    std::vector<Delivered> items;
    bool format_error = false;
    int64_t error_offset = -1;

    bool operator==(const ReadOutcome& o) const {
        return items == o.items && format_error == o.format_error && error_offset == o.error_offset;
    }
};

// With the shipped window; every item, or those of the given ids only.
ReadOutcome read_all(const std::string& path, const std::vector<uint16_t>* ids = nullptr);
// With a 1 KiB window, so that nearly every record straddles a refill.
ReadOutcome read_all_small_window(const std::string& path, const std::vector<uint16_t>* ids = nullptr);

}  // namespace fuzz_support
