// A table of named columns owned in C++, as an Arrow stream of one struct
// batch: the form in which results gathered or summed up in the engine
// (overviews, inventories, events) reach Arrow consumers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "scan/arrow_c_data.h"

namespace zentrail {

struct OwnedColumn {
    std::string name;
    // A fixed-width primitive ("S", "l", "g", "tsn:", "C", "i", ...), whose
    // values are `bytes`; "b", booleans packed a bit each (bit r of `bytes`,
    // `bits` of them); or "u", utf8 text: row r is bytes[offsets[r],
    // offsets[r + 1]).
    std::string arrow_format;
    std::vector<uint8_t> bytes;
    std::vector<int32_t> offsets;
    int64_t bits = 0;
    // Bit r set: row r holds a value. Empty: every row does.
    std::vector<uint8_t> validity;
    int64_t null_count = 0;
    // The schema says the column may hold nulls (whether this table's does or not).
    bool nullable = false;
    // For a dictionary-encoded column, whose values ("C" or "i") are
    // indices into these names (a "u" column without nulls); else null.
    std::shared_ptr<const OwnedColumn> dictionary;

    int64_t length() const;
};

// A "u" column of `texts`, each once, in the order given.
std::shared_ptr<const OwnedColumn> text_dictionary(const std::vector<std::string>& texts);

// The schema of a struct of `columns` (their names, formats, nullability
// and dictionaries; their values are not read).
void export_columns_schema(const std::vector<OwnedColumn>& columns, ArrowSchema* out);
// A struct array of `columns` (each `rows` values long), which it owns: its
// release frees them. For a source of several batches.
void export_columns_array(std::vector<OwnedColumn> columns, int64_t rows, ArrowArray* out);

// A stream that hands out one batch of `columns` (each `rows` values long),
// then ends. Its release frees the columns.
void export_table_stream(std::vector<OwnedColumn> columns, int64_t rows, ArrowArrayStream* out);

}  // namespace zentrail
