// Decoding of single archive records, field by field, in file order.
#include <algorithm>
#include <cstring>

#include "archive/parser.h"
#include "archive/record_classes.h"
#include "selection/filter.h"

namespace zentrail {

namespace {

// A field of the record is not wholly present and the file has no more bytes.
struct RecordCutShort {};

// After the six common bytes: a record with bit 15 set is a date mark, valid
// only as 0x8000 and a day of at most 65,535.
void throw_if_date_mark(const AR_COMMON_ITEM* item) {
    if ((item->ticks_hi & 0x8000) == 0) return;
    if (item->ticks_lo > 0xFFFF || item->ticks_hi != 0x8000) throw ErrorException(AR_FORMAT_ERROR);
    throw DateMarkException();
}

bool is_reserved_class(uint8_t cls) { return (reserved_class_mask() >> cls) & 1u; }

}  // namespace

bool Parser::_top_up(Buffer* buf, int n) {
    if (buf == buffer.get()) {
        while (file && buf->get_length() < n) _load();
    }
    return buf->get_length() >= n;
}

void Parser::_require(Buffer* buf, int n) {
    if (!_ensure(buf, n)) throw RecordCutShort{};
}

void Parser::_skip(Buffer* buf, int n) {
    // In steps, so that a skip longer than the window still reads through.
    while (n > 0) {
        _require(buf, 1);
        int step = std::min(n, static_cast<int>(buf->get_length()));
        buf->shift(step);
        n -= step;
    }
}

// The payload of an item that no sink will read is skipped: its value area
// is never looked at.
void Parser::_take_payload(Buffer* buf, AR_COMMON_ITEM* item, int n, bool wanted) {
    if (!wanted) {
        _skip(buf, n);
        return;
    }
    _require(buf, n);
    buf->grab_bytes(item->data, n);
}

// Runs once per record: the field steps below are folded into it.
#if defined(__GNUC__)
__attribute__((flatten))
#endif
int Parser::_read_next_item_from_data(Buffer* buf, unsigned int* date, AR_COMMON_ITEM* item, bool* selected) {
    for (;;) {
        if (!_ensure(buf, 1)) return AR_END_OF_DATA;
        if (buf->byte_top() == AR_END_BYTE) return AR_END_OF_DATA;
        record_offset = file_bytes_loaded - buf->get_length();
        try {
            const bool is_selected = _data_get_any_item(buf, item);
            if (selected != nullptr) *selected = is_selected;
            return AR_ITEM;
        } catch (const DateMarkException&) {
            *date = item->ticks_lo;
        } catch (const ErrorException& e) {
            return e.error_code;
        } catch (const RecordCutShort&) {
            return AR_END_OF_DATA;
        }
    }
}

bool Parser::_data_get_any_item(Buffer* buf, AR_COMMON_ITEM* item) {
    uint8_t cls;
    if (buf->get_length() >= ITEM_HEAD_SIZE) {
        cls = _parse_head_in_window(buf, item);
    } else {
        _parse_ticks(buf, item);
        cls = _parse_code(buf, item);
        if (cls != System) {
            _require(buf, 2);
            item->id = buf->grab_word();
        }
    }
    // A system item has no id of its own: it is selected by the one the item
    // before it left.
    const bool selected = filter == nullptr || filter->hasId(item->id);
    switch (RECORD_CLASSES[cls].kind) {
        case ClassKind::Alarm: _parse_alarm(buf, item, cls, selected); break;
        case ClassKind::StringAlarm: _parse_string_alarm(buf, item); break;
        case ClassKind::Group: _parse_group(buf, item, cls, selected); break;
        default: break;
    }
    return selected;
}

// The common bytes, code, second byte and id when all ten are in the window
// (nearly always): the same fields, checks and position as the steps below,
// with one bounds test instead of one per field.
uint8_t Parser::_parse_head_in_window(Buffer* buf, AR_COMMON_ITEM* item) {
    const unsigned char* p = buf->unread();
    item->ticks_hi = load_be16(p);
    item->ticks_lo = load_be32(p + 2);
    if (item->ticks_hi & 0x8000) {
        buf->shift(6);
        throw_if_date_mark(item);
    }
    item->code = p[6];
    const auto cls = static_cast<uint8_t>(ARCLASS(item->code));
    if (is_reserved_class(cls)) {
        buf->shift(7);
        throw ErrorException(AR_FORMAT_ERROR);
    }
    item->param = p[7];
    if (cls == System) {
        buf->shift(8);
        return cls;
    }
    item->id = load_be16(p + 8);
    buf->shift(10);
    return cls;
}

void Parser::_parse_ticks(Buffer* buf, AR_COMMON_ITEM* item) {
    _require(buf, 6);
    item->ticks_hi = buf->grab_word();
    item->ticks_lo = buf->grab_dword();
    throw_if_date_mark(item);
}

uint8_t Parser::_parse_code(Buffer* buf, AR_COMMON_ITEM* item) {
    _require(buf, 1);
    item->code = buf->grab_byte();
    const auto cls = static_cast<uint8_t>(ARCLASS(item->code));
    if (is_reserved_class(cls)) throw ErrorException(AR_FORMAT_ERROR);
    _require(buf, 1);
    item->param = buf->grab_byte();
    return cls;
}

void Parser::_parse_string_alarm(Buffer* buf, AR_COMMON_ITEM* item) {
    _require(buf, 2);
    int text_length = buf->grab_word();
    item->string_size = text_length + 1;
    _skip(buf, text_length);
}

void Parser::_parse_alarm(Buffer* buf, AR_COMMON_ITEM* item, uint8_t cls, bool wanted) {
    const int n = RECORD_CLASSES[cls].size - ITEM_HEAD_SIZE;
    if (n <= 0) return;
    // Values are read at their class's full width, wider than the stored
    // payload: the bytes past it must read as zero, not as an older item.
    if (wanted) std::memset(item->data, 0, 8);
    _take_payload(buf, item, n, wanted);
}

void Parser::_parse_group(Buffer* buf, AR_COMMON_ITEM* item, uint8_t cls, bool wanted) {
    const int n = group_payload_size(cls, item->param);
    if (n + ITEM_HEAD_SIZE > AR_MAX_GROUP_RECORD) throw ErrorException(AR_FORMAT_ERROR);
    if (n == 0) return;
    _take_payload(buf, item, n, wanted);
}

}  // namespace zentrail
