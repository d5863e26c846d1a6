// The label of each row of a batch, by its code: the place of the row's
// signal id among the ids a read can meet (a table of 65,536), then its
// element within that id's block of 1024, then each field's table of
// dictionary indices. One pass over the rows, a few cache-resident loads
// each, and nothing allocated.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zentrail {

struct LabelTable {
    const int32_t* places;  // the dictionary index (-1: none) of each block place
    std::size_t size;       // places held: blocks * 1024
    int32_t* out;           // one index per row
};

// False when a row's place lies outside a table (the tables do not fit the
// slots); the rows before it are written.
inline bool label_rows(const uint16_t* ids, const uint16_t* elements, std::size_t rows, const int32_t* slot,
                       LabelTable* tables, std::size_t table_count) {
    for (std::size_t r = 0; r < rows; ++r) {
        const std::size_t place = (static_cast<std::size_t>(static_cast<uint32_t>(slot[ids[r]])) << 10) |
                                  (elements[r] & 1023u);
        for (std::size_t t = 0; t < table_count; ++t) {
            if (place >= tables[t].size) return false;
            tables[t].out[r] = tables[t].places[place];
        }
    }
    return true;
}

}  // namespace zentrail
