// A small table of named columns of fixed-width values, owned in C++, as an
// Arrow stream of one struct batch: the form in which results that are
// summed up in the engine (overviews) reach Arrow consumers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scan/arrow_c_data.h"

namespace zentrail {

struct OwnedColumn {
    std::string name;
    std::string arrow_format;  // a fixed-width primitive: "S", "l", "g", "tsn:", ...
    std::vector<uint8_t> bytes;
};

// A stream that hands out one batch of `columns` (each `rows` values long),
// then ends. Its release frees the columns.
void export_table_stream(std::vector<OwnedColumn> columns, int64_t rows, ArrowArrayStream* out);

}  // namespace zentrail
