// The reader: opens each file, refills the window from it and decodes its
// records, field by field in file order, into the record sink.
#include "archive/parser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive/read_errors.h"
#include "archive/record_classes.h"
#include "archive/record_sink.h"
#include "archive/zip_member.h"
#include "time/calendar.h"
#include "selection/filter.h"

namespace zentrail {

Parser::Parser(const Filter* filter) : buffer(std::make_unique<Buffer>()), filter(filter) {}

Parser::~Parser() = default;

namespace {

bool is_regular_file(const struct stat& status) { return S_ISREG(status.st_mode); }

}  // namespace

// Only a regular file (after following links) holds archive data. Discovery
// collects any entry whose name matches, so a directory, a named pipe or a
// device can arrive here: such a path reads as an empty file, without
// waiting on a pipe for a writer or reading a device without end. It is
// tested before opening (opening some devices has effects of its own) and
// again on the open descriptor, opened without blocking, in case the path
// changed in between.
bool Parser::_open_file(const char* path) {
    _close_current_file();
    file_bytes_loaded = 0;
    file_path = path;
    struct stat status;
    if (::stat(path, &status) == 0 && !is_regular_file(status)) return true;
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) throw FileOpenError(path, errno);
    if (::fstat(fd, &status) != 0 || !is_regular_file(status)) {
        ::close(fd);
        return true;
    }
    // The file is read once, front to back: the kernel may read further
    // ahead than it would for a file read at random, keeping the disk busy
    // while the bytes already read are decoded.
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    std::FILE* f = ::fdopen(fd, "rb");
    if (f == nullptr) {
        int error = errno;
        ::close(fd);
        throw FileOpenError(path, error);
    }
    file.reset(f);
    file_size = status.st_size;
    return true;
}

void Parser::_open_bytes(const std::string& name, std::shared_ptr<const FileBytes> bytes) {
    _close_current_file();
    file_bytes_loaded = 0;
    file_path = name;
    file_size = static_cast<int64_t>(bytes->size());
    memory = std::move(bytes);
    memory_pos = 0;
}

void Parser::_close_current_file() {
    file.reset();
    memory.reset();
    member.reset();
}

void Parser::_load() {
    if (member) {
        // Inflated or read straight into the window, in the pieces a file
        // of its own is read in.
        const int64_t left = file_size - file_bytes_loaded;
        int room = 0;
        unsigned char* at =
            left > 0 ? buffer->prepare_append(static_cast<int>(std::min<int64_t>(READ_CHUNK_SIZE, left)), &room) : nullptr;
        const std::size_t got = left > 0 ? member->read(at, static_cast<std::size_t>(std::min<int64_t>(room, left))) : 0;
        if (got == 0) {
            _close_current_file();
            return;
        }
        _loaded(got);
        return;
    }
    if (memory) {
        // The same pieces as from a file, so that records decode the same.
        const std::size_t left = memory->size() - memory_pos;
        if (left == 0) {
            _close_current_file();
            return;
        }
        int room = 0;
        unsigned char* at = buffer->prepare_append(static_cast<int>(std::min<std::size_t>(READ_CHUNK_SIZE, left)), &room);
        const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(room), left);
        std::memcpy(at, memory->data() + memory_pos, n);
        memory_pos += n;
        _loaded(n);
        return;
    }
    if (!file) return;
    // Straight into the window, after its unread bytes: no second copy.
    // No more than the file holds, and a page more to meet its end (or what
    // a writer has added since it was opened): a small file needs no large
    // window.
    int64_t left = std::max<int64_t>(file_size - file_bytes_loaded, 0) + APPEND_ALIGNMENT;
    if (read_limit >= 0) {
        // The limit stands for the end of the file: bytes past it are not
        // read, and a record it cuts ends the data.
        left = read_limit - file_bytes_loaded;
        if (left <= 0) {
            _close_current_file();
            return;
        }
    }
    int wanted = 0;
    unsigned char* at = buffer->prepare_append(static_cast<int>(std::min<int64_t>(READ_CHUNK_SIZE, left)), &wanted);
    std::size_t got = 0;
    for (;;) {
        got = std::fread(at, 1, static_cast<std::size_t>(std::min<int64_t>(wanted, left)), file.get());
        if (!std::ferror(file.get())) break;
        // A failed read is not the end of the file: fewer rows would pass
        // for all of them. errno is still the failed read's here.
        const int error = errno;
        if (error != EINTR) throw FileReadError(file_path, file_bytes_loaded + static_cast<int64_t>(got), error);
        std::clearerr(file.get());
        if (got > 0) break;
    }
    if (got == 0) {
        _close_current_file();
        return;
    }
    _loaded(got);
}

void Parser::_loaded(std::size_t n) {
    buffer->commit_append(static_cast<int>(n));
    file_bytes_loaded += static_cast<int64_t>(n);
    if (monitor != nullptr) monitor->poll(static_cast<int64_t>(n));
}

void Parser::exportFiles(RecordSink* sink, const PathList* paths) {
    // Starts zeroed: a system item before any other item carries id 0.
    record = ACI_WITH_DATE{};
    for (const std::string& path : *paths) {
        if (monitor != nullptr) monitor->poll(0);
        read_file(sink, path);
    }
}

void Parser::read_file(RecordSink* sink, const std::string& path) {
    read_limit = -1;
    if (byte_source != nullptr) {
        if (const ZipMember* where = byte_source->member_of(path)) {
            read_member(sink, path, *where);
        } else {
            read_bytes(sink, path, byte_source->take(path, monitor));
        }
        return;
    }
    _begin_file(path, 0);
    _decode_file(sink, path, 0, FoldState{});
}

void Parser::read_bytes(RecordSink* sink, const std::string& name, std::shared_ptr<const FileBytes> bytes) {
    read_limit = -1;
    _reset_window();
    _open_bytes(name, std::move(bytes));
    data_end_offset = 0;
    data_end_at_end_byte = false;
    _load();
    _decode_file(sink, name, 0, FoldState{});
}

void Parser::read_member(RecordSink* sink, const std::string& name, const ZipMember& where) {
    read_limit = -1;
    _reset_window();
    _close_current_file();
    file_bytes_loaded = 0;
    file_path = name;
    member = std::make_unique<MemberReader>(where, name);
    file_size = member->size();
    data_end_offset = 0;
    data_end_at_end_byte = false;
    _load();
    _decode_file(sink, name, 0, FoldState{});
}

ResumePoint Parser::read_file_from(RecordSink* sink, const std::string& path, const ResumePoint& from,
                                   int64_t limit) {
    read_limit = limit;
    _begin_file(path, from.offset);
    record.item.id = from.id;
    ResumePoint next = _decode_file(sink, path, from.day, from.fold);
    read_limit = -1;
    return next;
}

void Parser::_reset_window() {
    // Whatever an earlier file left unread (past its end byte, or after a
    // failed run) is dropped: each file is decoded from its own first byte.
    buffer->shift(buffer->get_length());
    record.error_item = false;
    record.text = nullptr;
    record.text_length = 0;
}

void Parser::_begin_file(const std::string& path, int64_t offset) {
    _reset_window();
    _open_file(path.c_str());
    if (offset > 0 && file) {
        if (::fseeko(file.get(), static_cast<off_t>(offset), SEEK_SET) != 0) throw FileReadError(path, offset, errno);
    }
    file_bytes_loaded = offset;
    data_end_offset = offset;
    data_end_at_end_byte = false;
    _load();
}

ResumePoint Parser::_decode_file(RecordSink* sink, const std::string& path, uint32_t day_at_start,
                                 const FoldState& fold) {
    if (!clock) return _decode_records(sink, path, day_at_start);
    clock->begin_file(fold);
    ResumePoint next;
    try {
        next = _decode_records(sink, path, day_at_start);
    } catch (...) {
        clock->end_file(true);
        throw;
    }
    // A file read to its end (not a step of one still being written) has
    // no more rows to prove its first pass.
    next.fold = clock->end_file(read_limit < 0 || next.ended);
    return next;
}

ResumePoint Parser::_decode_records(RecordSink* sink, const std::string& path, uint32_t day_at_start) {
    unsigned int day = day_at_start;
    const bool by_heads = filter == nullptr && sink->takes_heads();
    for (;;) {
        // On a day with a repeated hour every record tells where the clock
        // stands, so none is passed over unseen.
        const bool watching = clock && clock->days().repeats_on(day);
        if (by_heads) {
            _hand_on_heads_run(sink, day, &record.item);
        } else if (filter != nullptr && !watching) {
            _skip_unselected_run(&record.item);
        }
        bool selected = false;
        const int rc = _read_next_item_from_data(buffer.get(), &day, &record.item, &selected);
        if (rc == AR_ITEM) {
            if (selected) {
                record.date = day;
                record.payload = payload_at;
                record.payload_size = payload_bytes;
                if (clock) {
                    _export_zoned(sink);
                } else {
                    sink->export_value(&record);
                }
            } else if (watching) {
                clock->observe(static_cast<int64_t>(code_date(static_cast<int32_t>(day)) +
                                                    code_time(record.item.ticks_hi, record.item.ticks_lo)));
            }
            if (buffer->get_length() <= REFILL_THRESHOLD) _load();
            continue;
        }
        if (is_read_error(rc)) {
            if (rc == AR_FORMAT_ERROR) {
                record.date = day;
                record.item.code = static_cast<uint8_t>(ARCODE(0, 2));
                record.item.param = 4;
                record.error_item = true;
                record.payload = nullptr;
                record.payload_size = 0;
                sink->export_value(&record);
            }
            throw FileFormatError(path, record_offset);
        }
        _close_current_file();
        return ResumePoint{data_end_offset, day, record.item.id, data_end_at_end_byte};
    }
}

void Parser::_export_zoned(RecordSink* sink) {
    AR_COMMON_ITEM& item = record.item;
    const uint16_t wall_hi = item.ticks_hi;
    const uint32_t wall_lo = item.ticks_lo;
    const auto wall = static_cast<int64_t>(code_date(static_cast<int32_t>(record.date)) + code_time(wall_hi, wall_lo));
    int64_t instant = 0;
    if (!clock->instant_of(wall, &instant)) return;
    const auto ns = static_cast<uint64_t>(instant);
    const uint64_t time_of_day = ns % NS_PER_DAY;
    record.date = static_cast<uint32_t>(ns / NS_PER_DAY);
    item.ticks_hi = static_cast<uint16_t>(time_of_day >> 32);
    item.ticks_lo = static_cast<uint32_t>(time_of_day);
    sink->export_value(&record);
    // The decoder carries fields of one record into the next: the wall
    // time goes back as the file stated it.
    item.ticks_hi = wall_hi;
    item.ticks_lo = wall_lo;
}

// The record decoder.
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

// Most records of a selective read belong to ids that no sink reads. Such a
// record, wholly in the window, is passed over here by its size: a few loads
// from the bytes themselves, no store per record and no copy of its payload.
// The run stops before anything the decoder must see (a selected item, a
// date mark, a system item, whose selection depends on the id before it, an
// end byte, a malformed or reserved record, or one that the window cuts), and
// leaves in `item` the fields of the last record passed over, as decoding it
// would have.
namespace {

// A record's whole size from its head, for the classes whose size is
// `base + per_element * second byte` (the alarms, whose second byte is an
// attribute, and the groups but GrBool); a base of 0 for the others.
struct HeadSize {
    int32_t base;
    int32_t per_element;
};
struct HeadSizeTable {
    HeadSize by_class[32]{};
    constexpr HeadSizeTable() {
        for (int cls = 0; cls < 32; ++cls) {
            const RecordClass& c = RECORD_CLASSES[cls];
            if (c.kind == ClassKind::Alarm) by_class[cls] = {c.size, 0};
            if (c.kind == ClassKind::Group && cls != GrBool) by_class[cls] = {ITEM_HEAD_SIZE, c.size};
        }
    }
};
constexpr HeadSizeTable HEAD_SIZES;

// The whole size of the record at p from its head (at least twelve bytes
// there), or 0 for one the runs below leave to the decoder: a system item,
// a reserved class, a group longer than a group may be. A string alarm's
// text length is pointed to by *text_length.
inline int32_t whole_size_of(const unsigned char* p, int cls, const unsigned char** text_length) {
    const HeadSize head = HEAD_SIZES.by_class[cls];
    if (head.base != 0) {
        const int32_t size = head.base + head.per_element * p[7];
        return size > AR_MAX_GROUP_RECORD ? 0 : size;
    }
    if (cls == GrBool) return ITEM_HEAD_SIZE + group_payload_size(GrBool, p[7]);
    if (RECORD_CLASSES[cls].kind != ClassKind::StringAlarm) return 0;
    *text_length = p + ITEM_HEAD_SIZE;
    return ITEM_HEAD_SIZE + 2 + load_be16(p + ITEM_HEAD_SIZE);
}

// What decoding the records of a run would have left in the item: the
// fields of the last, the id the run carried (a system item's is the one
// before it), and the text length of the last string alarm.
void leave_last_fields(AR_COMMON_ITEM* item, const unsigned char* last, uint16_t id,
                       const unsigned char* last_text_length) {
    item->ticks_hi = load_be16(last);
    item->ticks_lo = load_be32(last + 2);
    item->code = last[6];
    item->param = last[7];
    item->id = id;
    if (last_text_length != nullptr) item->string_size = load_be16(last_text_length) + 1;
}

}  // namespace

void Parser::_skip_unselected_run(AR_COMMON_ITEM* item) {
    const unsigned char* const begin = buffer->unread();
    const unsigned char* const end = begin + buffer->get_length();
    const unsigned char* p = begin;
    const unsigned char* last = nullptr;
    const unsigned char* last_text_length = nullptr;  // of the last string alarm passed over
    // Twelve bytes: the head and a string alarm's text length.
    while (end - p >= ITEM_HEAD_SIZE + 2) {
        if ((p[0] & 0x80) != 0) break;  // a date mark, or the end byte
        const unsigned char* text_length = nullptr;
        const int32_t size = whole_size_of(p, p[6] & 0x1F, &text_length);
        if (size == 0 || filter->hasId(load_be16(p + 8)) || size > end - p) break;
        last = p;
        if (text_length != nullptr) last_text_length = text_length;
        p += size;
    }
    if (last == nullptr) return;
    leave_last_fields(item, last, load_be16(last + 8), last_text_length);  // no system item is passed over here
    buffer->shift(static_cast<int>(p - begin));
}

// For a sink of heads alone, with every item selected: the records whole in
// the window, system items included, go to it in blocks straight from the
// bytes, as the run above passes over them.
void Parser::_hand_on_heads_run(RecordSink* sink, uint32_t day, AR_COMMON_ITEM* item) {
    const unsigned char* const begin = buffer->unread();
    const unsigned char* const end = begin + buffer->get_length();
    const unsigned char* p = begin;
    const unsigned char* last = nullptr;
    const unsigned char* last_text_length = nullptr;
    if (!heads) heads = std::make_unique<RecordHead[]>(HEAD_BLOCK);
    std::size_t count = 0;
    uint32_t block_day = day;  // the day of the block's times
    const uint64_t day_ns = code_date(static_cast<int32_t>(day));
    uint16_t id = item->id;  // a system item's, carried over
    while (end - p >= ITEM_HEAD_SIZE + 2) {
        if ((p[0] & 0x80) != 0) break;
        const int cls = p[6] & 0x1F;
        const unsigned char* text_length = nullptr;
        const int32_t size = cls == System ? ITEM_HEAD_SIZE - 2 : whole_size_of(p, cls, &text_length);
        if (size == 0 || size > end - p) break;
        if (cls != System) id = load_be16(p + 8);
        heads[count] = RecordHead{load_be16(p), load_be32(p + 2), p[6], p[7], id};
        if (clock) {
            // The head's instant, its day as the block's: a block ends
            // where the instants' day changes.
            RecordHead& head = heads[count];
            int64_t instant = 0;
            const auto wall = static_cast<int64_t>(day_ns + code_time(head.ticks_hi, head.ticks_lo));
            if (clock->instant_of(wall, &instant)) {
                const auto ns = static_cast<uint64_t>(instant);
                const auto instant_day = static_cast<uint32_t>(ns / NS_PER_DAY);
                if (count > 0 && instant_day != block_day) {
                    const RecordHead moved = head;
                    sink->export_heads(heads.get(), count, block_day);
                    heads[0] = moved;
                    count = 0;
                }
                block_day = instant_day;
                heads[count].ticks_hi = static_cast<uint16_t>((ns % NS_PER_DAY) >> 32);
                heads[count].ticks_lo = static_cast<uint32_t>(ns % NS_PER_DAY);
                ++count;
            }
        } else {
            ++count;
            block_day = day;
        }
        if (count == HEAD_BLOCK) {
            sink->export_heads(heads.get(), count, block_day);
            count = 0;
        }
        last = p;
        if (text_length != nullptr) last_text_length = text_length;
        p += size;
    }
    if (count > 0) sink->export_heads(heads.get(), count, block_day);
    if (last == nullptr) return;
    leave_last_fields(item, last, id, last_text_length);
    buffer->shift(static_cast<int>(p - begin));
}

bool Parser::_top_up(Buffer* buf, int n) {
    if (buf == buffer.get()) {
        while (_source_open() && buf->get_length() < n) _load();
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
// is never looked at. A selected item's payload is kept where it lies in the
// window, for a sink that reads it as stored, and copied into the value
// area only for a class whose values a sink reads from there.
void Parser::_take_payload(Buffer* buf, AR_COMMON_ITEM* item, int n, bool selected, bool copied) {
    if (!selected) {
        _skip(buf, n);
        return;
    }
    _require(buf, n);
    payload_at = buf->unread();
    payload_bytes = n;
    if (copied) {
        buf->grab_bytes(item->data, n);
    } else {
        buf->shift(n);
    }
}

// Runs once per record: the field steps below are folded into it.
#if defined(__GNUC__)
__attribute__((flatten))
#endif
int Parser::_read_next_item_from_data(Buffer* buf, unsigned int* date, AR_COMMON_ITEM* item, bool* selected) {
    for (;;) {
        if (!_ensure(buf, 1) || buf->byte_top() == AR_END_BYTE) {
            data_end_offset = file_bytes_loaded - buf->get_length();
            data_end_at_end_byte = buf->get_length() > 0;
            return AR_END_OF_DATA;
        }
        record_offset = file_bytes_loaded - buf->get_length();
        id_before_record = item->id;
        try {
            const bool is_selected = _data_get_any_item(buf, item);
            if (selected != nullptr) *selected = is_selected;
            return AR_ITEM;
        } catch (const DateMarkException&) {
            *date = item->ticks_lo;
        } catch (const ErrorException& e) {
            return e.error_code;
        } catch (const RecordCutShort&) {
            // Nothing of the cut record counts: a later read takes it whole,
            // under the id the record before it left.
            item->id = id_before_record;
            data_end_offset = record_offset;
            data_end_at_end_byte = false;
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
    payload_at = nullptr;
    payload_bytes = 0;
    switch (RECORD_CLASSES[cls].kind) {
        case ClassKind::Alarm: _parse_alarm(buf, item, cls, selected); break;
        case ClassKind::StringAlarm: _parse_string_alarm(buf, item, selected && keep_texts); break;
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

void Parser::_parse_string_alarm(Buffer* buf, AR_COMMON_ITEM* item, bool wanted) {
    _require(buf, 2);
    int text_length = buf->grab_word();
    item->string_size = text_length + 1;
    if (!wanted) {
        _skip(buf, text_length);
        return;
    }
    // Copied in steps, as a skip reads, so that a text longer than the
    // window's unread bytes still reads through.
    if (text.size() < static_cast<std::size_t>(text_length)) text.resize(static_cast<std::size_t>(text_length));
    int taken = 0;
    while (taken < text_length) {
        _require(buf, 1);
        const int step = std::min(text_length - taken, static_cast<int>(buf->get_length()));
        std::memcpy(text.data() + taken, buf->unread(), static_cast<std::size_t>(step));
        buf->shift(step);
        taken += step;
    }
    record.text = text.data();
    record.text_length = text_length;
}

void Parser::_parse_alarm(Buffer* buf, AR_COMMON_ITEM* item, uint8_t cls, bool selected) {
    const int n = RECORD_CLASSES[cls].size - ITEM_HEAD_SIZE;
    if (n <= 0) return;
    const bool copied = selected && ((payload_classes >> cls) & 1u) != 0;
    // Values are read at their class's full width, wider than the stored
    // payload: the bytes past it must read as zero, not as an older item.
    if (copied) std::memset(item->data, 0, 8);
    _take_payload(buf, item, n, selected, copied);
}

void Parser::_parse_group(Buffer* buf, AR_COMMON_ITEM* item, uint8_t cls, bool selected) {
    const int n = group_payload_size(cls, item->param);
    if (n + ITEM_HEAD_SIZE > AR_MAX_GROUP_RECORD) throw ErrorException(AR_FORMAT_ERROR);
    if (n == 0) return;
    _take_payload(buf, item, n, selected, selected && ((payload_classes >> cls) & 1u) != 0);
}

}  // namespace zentrail
