#include "output/csv_text.h"

#include "time/calendar.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace zentrail {

namespace {

constexpr int64_t NS_PER_SECOND = 1'000'000'000;
constexpr int64_t NS_PER_DAY = 86'400 * NS_PER_SECOND;
constexpr int64_t NO_INSTANT = std::numeric_limits<int64_t>::min();

void append_integer(int64_t value, std::string* out) {
    char text[24];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    out->append(text, end);
}

void append_digits(int64_t value, int width, std::string* out) {
    char text[24];
    char* end = std::to_chars(text, text + sizeof text, value).ptr;
    for (auto n = end - text; n < width; ++n) out->push_back('0');
    out->append(text, end);
}

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

void append_day(int64_t days, std::string* out) {
    int64_t year;
    int month, day;
    civil_from_unix_days(days, &year, &month, &day);
    append_digits(year, 4, out);
    out->push_back('-');
    append_digits(month, 2, out);
    out->push_back('-');
    append_digits(day, 2, out);
}

// "+01:00", "-03:30", "+00:53:28": seconds only where the offset has them.
void append_offset(int64_t ns, std::string* out) {
    out->push_back(ns < 0 ? '-' : '+');
    const int64_t seconds = (ns < 0 ? -ns : ns) / NS_PER_SECOND;
    append_digits(seconds / 3600, 2, out);
    out->push_back(':');
    append_digits(seconds / 60 % 60, 2, out);
    if (seconds % 60 != 0) {
        out->push_back(':');
        append_digits(seconds % 60, 2, out);
    }
}

void append_text(std::string_view text, bool single, const CsvQuoting& quoting, std::string* out) {
    bool quote = single && text.empty();  // a line of one empty field would read as no field
    for (const char c : text) {
        const auto code = static_cast<unsigned char>(c);
        if (code < quoting.quoted.size() && quoting.quoted[code]) {
            quote = true;
            break;
        }
    }
    if (!quote) {
        out->append(text);
        return;
    }
    out->push_back('"');
    for (const char c : text) {
        if (c == '"') out->push_back('"');
        out->push_back(c);
    }
    out->push_back('"');
}

}  // namespace

void append_number(double value, std::string* out) {
    if (std::isnan(value)) return;
    if (std::isinf(value)) {
        out->append(value < 0 ? "-inf" : "inf");
        return;
    }
    if (std::fabs(value) < 0x1p63 && value == std::floor(value)) {
        append_integer(static_cast<int64_t>(value), out);
        return;
    }
    // The shortest digits that read back, laid out as Python's repr does:
    // positional from 1e-4 up to 1e16, scientific outside.
    char text[40];
    const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
    const std::string_view scientific(text, static_cast<std::size_t>(end - text));
    const auto e = scientific.find('e');
    int exponent = 0;
    std::from_chars(scientific.data() + e + (scientific[e + 1] == '+' ? 2 : 1), end, exponent);
    if (exponent < -4 || exponent >= 16) {
        out->append(scientific);
        return;
    }
    std::string digits;
    for (const char c : scientific.substr(0, e)) {
        if (c >= '0' && c <= '9') digits.push_back(c);
    }
    if (value < 0) out->push_back('-');
    if (exponent < 0) {
        out->append("0.");
        out->append(static_cast<std::size_t>(-exponent - 1), '0');
        out->append(digits);
        return;
    }
    const auto whole = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= whole) {  // not reached: such a value is whole
        out->append(digits);
        out->append(whole - digits.size(), '0');
        out->append(".0");
        return;
    }
    out->append(digits, 0, whole);
    out->push_back('.');
    out->append(digits, whole, std::string::npos);
}

namespace {

// Two digits of 0 to 99 at `to`.
void put_two(int value, char* to) {
    to[0] = static_cast<char>('0' + value / 10);
    to[1] = static_cast<char>('0' + value % 10);
}

// The text of an instant, its day's text made once for a run of rows of
// the same day (a batch holds a handful of days).
class InstantTexts {
public:
    void append(int64_t ns, const int64_t* offset, std::string* out) {
        if (ns == NO_INSTANT) return;
        const int64_t wall = offset != nullptr ? ns + *offset : ns;
        const int64_t days = floor_div(wall, NS_PER_DAY);
        if (days != day_of_text || day_text.empty()) {
            day_text.clear();
            append_day(days, &day_text);
            day_of_text = days;
        }
        out->append(day_text);
        const int64_t of_day = wall - days * NS_PER_DAY;
        const auto seconds = static_cast<int>(of_day / NS_PER_SECOND);
        char text[32];
        text[0] = offset != nullptr ? 'T' : ' ';
        put_two(seconds / 3600, text + 1);
        text[3] = ':';
        put_two(seconds / 60 % 60, text + 4);
        text[6] = ':';
        put_two(seconds % 60, text + 7);
        std::size_t size = 9;
        int64_t fraction = of_day % NS_PER_SECOND;
        if (fraction != 0) {
            int width = 9;
            while (fraction % 10 == 0) {
                fraction /= 10;
                --width;
            }
            text[size++] = '.';
            for (int i = width - 1; i >= 0; --i, fraction /= 10) text[size + static_cast<std::size_t>(i)] = static_cast<char>('0' + fraction % 10);
            size += static_cast<std::size_t>(width);
        }
        out->append(text, size);
        if (offset != nullptr) append_offset(*offset, out);
    }

private:
    int64_t day_of_text = 0;
    std::string day_text;
};

}  // namespace

void append_instant(int64_t ns, const int64_t* offset, std::string* out) { InstantTexts().append(ns, offset, out); }

namespace {

// The text of one cell, unquoted; false for an empty field of no value
// (NaN, no instant), which a line of one field must quote.
bool append_cell(const CsvColumn& column, std::size_t row, InstantTexts* instants, std::string* out) {
    switch (column.kind) {
    case CsvColumn::Kind::Integer:
        append_integer(static_cast<const int64_t*>(column.values)[row], out);
        return true;
    case CsvColumn::Kind::Number: {
        const double value = static_cast<const double*>(column.values)[row];
        append_number(value, out);
        return !std::isnan(value);
    }
    case CsvColumn::Kind::Instant: {
        const int64_t ns = static_cast<const int64_t*>(column.values)[row];
        instants->append(ns, column.offsets != nullptr ? column.offsets + row : nullptr, out);
        return ns != NO_INSTANT;
    }
    case CsvColumn::Kind::Day: {
        const int64_t ns = static_cast<const int64_t*>(column.values)[row];
        if (ns != NO_INSTANT) append_day(floor_div(ns, NS_PER_DAY), out);
        return ns != NO_INSTANT;
    }
    case CsvColumn::Kind::Text:
        out->append(column.texts[row]);
        return true;
    }
    return true;
}

// The characters a line is cut of at its end (what str.rstrip() cuts), as
// UTF-8: ASCII white space and the Unicode spaces and separators.
std::size_t trailing_space(std::string_view line) {
    std::size_t end = line.size();
    while (end > 0) {
        const auto c = static_cast<unsigned char>(line[end - 1]);
        if (c == ' ' || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F)) {
            --end;
            continue;
        }
        if (c < 0x80) break;
        std::size_t start = end - 1;  // the start of the last character
        while (start > 0 && (static_cast<unsigned char>(line[start]) & 0xC0) == 0x80) --start;
        uint32_t u = static_cast<unsigned char>(line[start]);
        u = u >= 0xF0 ? u & 0x07 : u >= 0xE0 ? u & 0x0F : u & 0x1F;
        for (std::size_t i = start + 1; i < end; ++i) u = (u << 6) | (static_cast<unsigned char>(line[i]) & 0x3F);
        const bool space = u == 0x85 || u == 0xA0 || u == 0x1680 || (u >= 0x2000 && u <= 0x200A) || u == 0x2028 ||
                           u == 0x2029 || u == 0x202F || u == 0x205F || u == 0x3000;
        if (!space) break;
        end = start;
    }
    return line.size() - end;
}

std::size_t code_points(std::string_view text) {
    std::size_t n = 0;
    for (const char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

}  // namespace

void append_csv_rows(const std::vector<CsvColumn>& columns, std::size_t rows, const CsvQuoting& quoting,
                     std::string* out) {
    const bool single = columns.size() == 1;
    std::vector<InstantTexts> instants(columns.size());
    out->reserve(out->size() + rows * columns.size() * 8);
    for (std::size_t row = 0; row < rows; ++row) {
        for (std::size_t c = 0; c < columns.size(); ++c) {
            if (c != 0) out->push_back(',');
            const CsvColumn& column = columns[c];
            if (column.kind == CsvColumn::Kind::Text) {
                append_text(column.texts[row], single, quoting, out);
            } else if (!append_cell(column, row, &instants[c], out) && single) {
                out->append("\"\"");
            }
        }
        out->push_back('\n');
    }
}

void table_lines(const std::vector<TableColumn>& columns, std::size_t rows, std::size_t chunk_rows,
                 const std::function<void(std::string&)>& take) {
    // Every cell's text first, for the widths.
    std::vector<std::string> cells(columns.size());
    std::vector<std::vector<std::size_t>> ends(columns.size());
    std::vector<std::size_t> widths(columns.size());
    for (std::size_t c = 0; c < columns.size(); ++c) {
        InstantTexts instants;
        ends[c].reserve(rows);
        widths[c] = code_points(columns[c].name);
        for (std::size_t row = 0; row < rows; ++row) {
            const std::size_t start = cells[c].size();
            append_cell(columns[c].cells, row, &instants, &cells[c]);
            ends[c].push_back(cells[c].size());
            widths[c] = std::max(widths[c], code_points(std::string_view(cells[c]).substr(start)));
        }
    }
    std::string out;
    auto line = [&](auto&& cell_of) {
        const std::size_t begun = out.size();
        for (std::size_t c = 0; c < columns.size(); ++c) {
            if (c != 0) out.append("  ");
            const std::string_view text = cell_of(c);
            const std::size_t pad = widths[c] - code_points(text);
            if (columns[c].right) out.append(pad, ' ');
            out.append(text);
            if (!columns[c].right) out.append(pad, ' ');
        }
        out.resize(out.size() - trailing_space(std::string_view(out).substr(begun)));
        out.push_back('\n');
    };
    line([&](std::size_t c) { return std::string_view(columns[c].name); });
    for (std::size_t row = 0; row < rows; ++row) {
        line([&](std::size_t c) {
            const std::size_t start = row == 0 ? 0 : ends[c][row - 1];
            return std::string_view(cells[c]).substr(start, ends[c][row] - start);
        });
        if ((row + 1) % chunk_rows == 0) {
            take(out);
            out.clear();
        }
    }
    if (!out.empty()) take(out);
}

}  // namespace zentrail
