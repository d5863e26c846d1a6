// Columns as CSV lines, formatted here rather than value by value in
// Python: numbers, instants and texts of a batch appended to one string,
// with the texts Python's csv module would write for the same values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zentrail {

// One column of a batch. Every kind but Text reads `values`; an empty
// field is written for NaN and for an instant of INT64_MIN (no instant).
struct CsvColumn {
    enum class Kind {
        Integer,  // int64 values
        Number,   // float64: whole values as integers, else the shortest text that reads back
        Instant,  // int64 ns since 1970: "YYYY-MM-DD hh:mm:ss[.fraction]", or with offsets
                  // (ns, one per row) the wall time "YYYY-MM-DDThh:mm:ss[.fraction]+hh:mm"
        Day,      // int64 ns since 1970: "YYYY-MM-DD"
        Text,     // `texts`, quoted where they must be
    };
    Kind kind = Kind::Integer;
    const void* values = nullptr;
    const int64_t* offsets = nullptr;
    std::vector<std::string_view> texts;
};

// How texts are quoted: as Python's csv module does under its "excel"
// dialect with "\n" ending lines. Which characters ask for quotes differs
// between Python versions ("\r", NUL), so the caller says: a text is quoted
// when it holds one of the ASCII characters marked here.
struct CsvQuoting {
    std::array<bool, 128> quoted{};
};

// `rows` rows of `columns` appended to *out, each line ended by "\n".
void append_csv_rows(const std::vector<CsvColumn>& columns, std::size_t rows, const CsvQuoting& quoting,
                     std::string* out);

// A column of an aligned table: its cells as a CSV column's, unquoted,
// padded on the left (`right`, numbers) or on the right to the widest.
struct TableColumn {
    std::string name;
    CsvColumn cells;
    bool right = false;
};

// The header line and `rows` lines of an aligned table, columns two spaces
// apart and each line cut of its trailing white space, handed to `take`
// about `chunk_rows` lines at a time.
void table_lines(const std::vector<TableColumn>& columns, std::size_t rows, std::size_t chunk_rows,
                 const std::function<void(std::string&)>& take);

// The texts of single values, for the tests of the formats.
void append_number(double value, std::string* out);
void append_instant(int64_t ns, const int64_t* offset, std::string* out);

}  // namespace zentrail
