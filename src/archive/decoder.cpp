// Decoding of single archive records, field by field, in file order.
#include <algorithm>
#include <cstring>

#include "archive/parser.h"
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

bool is_reserved_class(uint8_t cls) { return (AR_RESERVED_CLASS_MASK >> cls) & 1u; }

}  // namespace

bool Parser::_top_up(Buffer* buf, int n) {
    if (buf == buffer.get()) {
        while (file && buf->get_length() < n) _load();
    }
    return buf->get_length() >= n;
}

void Parser::_take(Buffer* buf, int n) {
    if (!_ensure(buf, n)) throw RecordCutShort{};
}

void Parser::_skip(Buffer* buf, int n) {
    // In steps, so that a skip longer than the window still reads through.
    while (n > 0) {
        _take(buf, 1);
        int step = std::min(n, static_cast<int>(buf->get_length()));
        buf->shift(step);
        n -= step;
    }
}

// Runs once per record: the field steps below are folded into it.
#if defined(__GNUC__)
__attribute__((flatten))
#endif
int Parser::_read_next_item_from_data(Buffer* buf, unsigned int* date, AR_COMMON_ITEM* item) {
    for (;;) {
        if (!_ensure(buf, 1)) return AR_END_OF_DATA;
        if (buf->byte_top() == AR_END_BYTE) return AR_END_OF_DATA;
        record_offset = file_bytes_loaded - buf->get_length();
        try {
            _data_get_any_item(buf, item);
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

void Parser::_data_get_any_item(Buffer* buf, AR_COMMON_ITEM* item) {
    uint8_t cls;
    if (buf->get_length() >= ITEM_HEAD_SIZE) {
        cls = _parse_head_in_window(buf, item);
        if (cls == 0) return;
    } else {
        _parse_ticks(buf, item);
        cls = _parse_code(buf, item);
        if (cls == 0) return;
        _take(buf, 2);
        item->id = buf->grab_word();
    }
    payload_wanted = filter == nullptr || filter->hasId(item->id);
    if (cls <= AR_STRING_CLASS || cls == AR_ACK_CLASS) {
        _parse_alarm(buf, item, cls);
    } else {
        _parse_group(buf, item, cls);
    }
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
    if (cls == 0) {
        buf->shift(8);
        return 0;
    }
    item->id = load_be16(p + 8);
    buf->shift(10);
    return cls;
}

void Parser::_parse_ticks(Buffer* buf, AR_COMMON_ITEM* item) {
    _take(buf, 6);
    item->ticks_hi = buf->grab_word();
    item->ticks_lo = buf->grab_dword();
    throw_if_date_mark(item);
}

uint8_t Parser::_parse_code(Buffer* buf, AR_COMMON_ITEM* item) {
    _take(buf, 1);
    item->code = buf->grab_byte();
    const auto cls = static_cast<uint8_t>(ARCLASS(item->code));
    if (is_reserved_class(cls)) throw ErrorException(AR_FORMAT_ERROR);
    _take(buf, 1);
    item->param = buf->grab_byte();
    return cls;
}

void Parser::_parse_alarm(Buffer* buf, AR_COMMON_ITEM* item, uint8_t cls) {
    if (cls == AR_STRING_CLASS) {
        _take(buf, 2);
        int text_length = buf->grab_word();
        item->string_size = text_length + 1;
        _skip(buf, text_length);
        return;
    }
    int size = ALARM_SIZES[cls == AR_ACK_CLASS ? 4 : cls];
    int n = size - 10;
    if (n <= 0) return;
    if (!payload_wanted) {
        _skip(buf, n);
        return;
    }
    _take(buf, n);
    // Values are read at their class's full width, wider than the stored
    // payload: the bytes past it must read as zero, not as an older item.
    std::memset(item->data, 0, 8);
    buf->grab_bytes(item->data, n);
}

void Parser::_parse_group(Buffer* buf, AR_COMMON_ITEM* item, uint8_t cls) {
    int count = item->param;
    int n;
    if (cls == AR_FIRST_GROUP_CLASS) {
        n = count == 0 ? 32 : (count + 7) / 8;
    } else {
        n = count * GROUP_ITEM_SIZES[cls - AR_FIRST_GROUP_CLASS];
        if (n + 10 > AR_MAX_GROUP_RECORD) throw ErrorException(AR_FORMAT_ERROR);
        if (n == 0) return;
    }
    if (!payload_wanted) {
        _skip(buf, n);
        return;
    }
    _take(buf, n);
    buf->grab_bytes(item->data, n);
}

}  // namespace zentrail
