#include "output/text_writer.h"

#include <cstdio>

namespace zentrail {

void TextWriter::export_value(ACI_WITH_DATE* item) {
    const ArchiveRow row = build_named_row(item);
    _append(row.lead_text1, false);
    _append(row.lead_text2, false);
    _append(row.class_name, false);
    _append(row.subtype_name, false);
    _append(row.detail, false);
    _append(static_cast<int>(row.id), false);
    _append_values(&row);
    _close_line();
}

void TextWriter::_separator(bool last) {
    if (!last) std::putc(',', out);
}

void TextWriter::_append(int value, bool last) {
    std::fprintf(out, "%i", value);
    _separator(last);
}

void TextWriter::_append(double value, bool last) {
    std::fprintf(out, "%f", value);
    _separator(last);
}

void TextWriter::_append(const char* text, bool last) {
    std::fputs(text, out);
    _separator(last);
}

void TextWriter::_append(bool value, bool last) { _append(value ? "on" : "off", last); }

void TextWriter::_append_values(const ArchiveRow* row) {
    int32_t type = row->get_JSON_data_type();
    if (type == ROW_TEXT) {
        _append(row->get_string(), false);
        return;
    }
    if (type == ROW_NO_VALUE) return;
    for (int n = row->element_count - 1; n >= 0; --n) {
        const bool last = n == 0;
        row->visit_value(n, [this, last](auto value) { _append(value, last); });
    }
}

void TextWriter::_close_line() { std::putc('\n', out); }

}  // namespace zentrail
