#include "output/writer.h"

#include <cstdio>
#include <stdexcept>

#include "output/names.h"

namespace zentrail {

namespace {

constexpr std::size_t TEXT_FIELD_SIZE = 255;

// The system-event text: module from the units digit, level from the tens.
void write_system_event_text(char* dst, int param) {
    int module = param % 10 < 7 ? param % 10 : 0;
    int level = param < 70 ? param / 10 : 0;
    std::snprintf(dst, TEXT_FIELD_SIZE, "%s%s", LOG_MODULE_DESCR_ARR[module], LOG_LEVEL_DESCR_ARR[level]);
}

void write_text(char* dst, const char* text) { std::snprintf(dst, TEXT_FIELD_SIZE, "%s", text); }
void write_number(char* dst, int value) { std::snprintf(dst, TEXT_FIELD_SIZE, "%i", value); }

}  // namespace

ArchiveRow Writer::_parseArchiveItemValues(const ACI_WITH_DATE* item) const {
    ArchiveRow row(item);
    row.element_count = -1;
    const AR_COMMON_ITEM& it = item->item;
    int cls = ARCLASS(it.code);

    GTSTAMP stamp{code_date(static_cast<int32_t>(item->date)) + code_time(it.ticks_hi, it.ticks_lo)};
    decode_timestamp(&row.datetime, &stamp);
    if (cls == 0) return row;
    row.id = it.id;
    // Groups and reserved classes, and the alarms with a value, count their
    // elements in the second byte; AlBool and AlAckn carry none.
    if (cls >= 2 && cls <= 30) row.element_count = it.param;
    return row;
}

ArchiveRow Writer::_parseArchiveItem(const ACI_WITH_DATE* item) const {
    ArchiveRow row = _parseArchiveItemValues(item);
    const AR_COMMON_ITEM& it = item->item;
    int cls = ARCLASS(it.code);
    int subtype = ARSUBTYPE(it.code);
    write_text(row.class_name, get_arc_class_name(cls));

    if (cls == 0) {
        write_text(row.subtype_name, get_arc_system_subtypes(subtype));
        write_system_event_text(row.detail, it.param);
        return row;
    }
    if (cls >= 13 && cls <= 30) {
        if (subtype != 0) write_number(row.subtype_name, subtype);
        return row;
    }
    write_number(row.detail, it.param);
    if (cls == 1) {
        write_text(row.subtype_name, get_arc_bool_subtypes(subtype));
    } else if (cls <= 11) {
        write_text(row.subtype_name, get_arc_val_subtypes(subtype));
    } else if (cls == AR_STRING_CLASS) {
        write_text(row.subtype_name, get_str_al_subtypes(subtype));
    } else {
        write_text(row.subtype_name, get_arc_ack_subtypes(subtype));
    }
    return row;
}

void Writer::export_value(ACI_WITH_DATE* item) {
    ArchiveRow row = _parseArchiveItem(item);
    _append(row.lead_text1, false);
    _append(row.lead_text2, false);
    _append(row.class_name, false);
    _append(row.subtype_name, false);
    _append(row.detail, false);
    _append(static_cast<int>(row.id), false);
    _append_values(&row);
    _close_line();
}

void Writer::_separator(bool last) {
    if (!last) std::putc(',', out);
}

void Writer::_append(int value, bool last) {
    std::fprintf(out, "%i", value);
    _separator(last);
}

void Writer::_append(double value, bool last) {
    std::fprintf(out, "%f", value);
    _separator(last);
}

void Writer::_append(const char* text, bool last) {
    std::fputs(text, out);
    _separator(last);
}

void Writer::_append_values(const ArchiveRow* row) {
    int32_t type = row->get_JSON_data_type();
    if (type == ROW_TEXT) {
        _append(row->get_string(), false);
        return;
    }
    if (type == ROW_NO_VALUE) return;
    for (int n = row->element_count - 1; n >= 0; --n) {
        bool last = n == 0;
        switch (type) {
            case ROW_BOOL: _append(row->get_bool(n) ? "on" : "off", last); break;
            case ROW_INT: _append(static_cast<int>(row->get_int(n)), last); break;
            case ROW_DOUBLE: _append(row->get_double(n), last); break;
            default: throw std::logic_error("Not implemented!");
        }
    }
}

void Writer::_close_line() { std::putc('\n', out); }

}  // namespace zentrail
