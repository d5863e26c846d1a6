// The archive reader: reads a list of files in order, decodes their records
// and hands the selected items to a record sink.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "archive/buffer.h"
#include "archive/byte_source.h"
#include "archive/item_format.h"
#include "selection/read_monitor.h"
#include "selection/path_list.h"
#include "time/wall_clock.h"

namespace zentrail {

class Filter;
class MemberReader;
class RecordSink;
struct ZipMember;

// A place between two records of a file, with what decoding from there
// needs of the records before it: the day of the last date mark, and the id
// that a system item would be selected by (the one the item before it
// left). A reader that stops here and one that goes on from here with this
// state hand on the same items as one that reads the file whole.
struct ResumePoint {
    int64_t offset = 0;  // where the next record starts
    uint32_t day = 0;
    uint16_t id = 0;
    // An end byte stands at `offset`: the file holds no more records,
    // whatever follows it.
    bool ended = false;
    // Where the file stands in a repeated hour of the read's zone.
    FoldState fold{};
};


// Six common bytes, code, second byte and id: the head of every item but a
// system item (which ends after its second byte).
constexpr int32_t ITEM_HEAD_SIZE = 10;
// Unread bytes at or below which the reader refills the window after an item.
constexpr int32_t REFILL_THRESHOLD = 511;
// The most one refill reads. Reading a file in pieces of this size, rather
// than a whole window at once, keeps the bytes in the processor's cache
// between the kernel's copy and the decoding, with room to spare there for a
// sink's tables (128 KiB measured best against 64 KiB to 512 KiB), and keeps
// the window's storage (which grows only as far as the bytes in it need)
// small for files of any size. The disk is kept busy by the kernel's
// read-ahead, not by the size of a piece.
constexpr int32_t READ_CHUNK_SIZE = 1 << 17;

class Parser {
public:
    // `filter` selects the items by signal id and is not owned; a null
    // filter passes every item (the dump tool uses this).
    explicit Parser(const Filter* filter);
    ~Parser();
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    // Reads every file of `paths` in order into `sink`, polling the
    // monitor before each. Throws as read_file does, and whatever the
    // monitor throws.
    void exportFiles(RecordSink* sink, const PathList* paths);

    // Reads one file from its first byte to its end (an end byte, or its
    // last whole record) into `sink`, under day 0 until a date mark. The
    // id that a system item is selected by carries over from the file this
    // reader read before, as it does from file to file of exportFiles (which
    // starts each run from id 0). Throws FileOpenError, FileReadError, or
    // FileFormatError after handing on the error item.
    void read_file(RecordSink* sink, const std::string& path);

    // Reads `path` as read_file does, but from `from` (a place a read of
    // this file stopped at, with its state) and through at most the first
    // `limit` bytes of the file (negative: to its end). A record cut by the
    // end of those bytes (a runtime still writing it, or the limit) is not
    // handed on: the place returned is before it, for a later call to read
    // it whole. `from.offset` beyond the bytes there reads nothing.
    ResumePoint read_file_from(RecordSink* sink, const std::string& path, const ResumePoint& from, int64_t limit);

    // Polled before each file and after each refill of the window; not
    // owned; null (the default) for none.
    void set_monitor(ReadMonitor* monitor) { this->monitor = monitor; }

    // Where read_file takes the files' bytes from instead of opening paths:
    // a file's bytes, fetched whole, are decoded from memory through the
    // same window. Not owned; null (the default) opens the paths.
    void set_byte_source(ByteSource* source) { byte_source = source; }

    // Reads one file held in memory, named `name` in errors, as read_file
    // reads one from disk.
    void read_bytes(RecordSink* sink, const std::string& name, std::shared_ptr<const FileBytes> bytes);
    // Reads one member of a zip file, named `name` in errors, where it lies
    // in the zip file, as read_file reads a file of its own.
    void read_member(RecordSink* sink, const std::string& name, const ZipMember& where);

    // The classes whose payloads are copied into the value area of a
    // selected item, one bit per class number (default: all). A sink that
    // reads only heads (an inventory), or reads values from the stored
    // payload (ACI_WITH_DATE::payload), clears them all.
    void set_payload_classes(uint32_t mask) { payload_classes = mask; }
    // Reads the records' wall times as times of `zone` (not owned): each
    // item reaches the sink with its instant as its day and time of day
    // (UTC), what had to be guessed counted into `counts`. Without a zone
    // (the default) items keep the times the file states.
    void set_zone(const ReadZone& zone) {
        clock.reset();
        if (zone) clock = std::make_unique<WallClock>(zone.days.get(), zone.counts.get());
    }
    // Whether a selected string alarm's text is kept and handed to the sink
    // (ACI_WITH_DATE::text); by default it is skipped.
    void set_keep_texts(bool keep) { keep_texts = keep; }

private:
    friend struct ParserTestPeer;  // the tests drive the decoder's steps directly

    // Opens `path` for reading, closing the current file; a path that is not
    // a regular file opens as an empty one. Throws FileOpenError.
    bool _open_file(const char* path);
    // Forgets what an earlier file left in the window and in the record.
    void _reset_window();
    // Opens `path` and positions the reader at `offset`; read_file and
    // read_file_from share it and the decoding loop.
    void _begin_file(const std::string& path, int64_t offset);
    void _open_bytes(const std::string& name, std::shared_ptr<const FileBytes> bytes);
    // Decodes to the end of the data; returns where the next record starts.
    ResumePoint _decode_file(RecordSink* sink, const std::string& path, uint32_t day, const FoldState& fold);
    ResumePoint _decode_records(RecordSink* sink, const std::string& path, uint32_t day);
    // Hands on a selected item with its wall time read as an instant of the
    // zone; one before the archive's origin is left out.
    void _export_zoned(RecordSink* sink);
    bool _source_open() const { return file != nullptr || memory != nullptr || member != nullptr; }
    void _close_current_file();
    void _load();
    // Counts `n` bytes just put in the window as the file's, and reports them.
    void _loaded(std::size_t n);

    // The record decoder. It reads through `buf`; when `buf` is the reader's
    // own window it is refilled from the open file whenever a field is not
    // wholly present, so records decode the same across refills. A record
    // that the end of the bytes cuts short ends the data. `*selected` (when
    // given) says whether the filter selects the item's id: asked once per
    // item, here, since an unselected item's payload is skipped.
    // Passes over the records of unselected ids that the window wholly
    // holds, from its first unread byte.
    void _skip_unselected_run(AR_COMMON_ITEM* item);
    void _hand_on_heads_run(RecordSink* sink, uint32_t day, AR_COMMON_ITEM* item);
    int _read_next_item_from_data(Buffer* buf, unsigned int* date, AR_COMMON_ITEM* item,
                                  bool* selected = nullptr);
    bool _data_get_any_item(Buffer* buf, AR_COMMON_ITEM* item);
    void _parse_ticks(Buffer* buf, AR_COMMON_ITEM* item);
    uint8_t _parse_code(Buffer* buf, AR_COMMON_ITEM* item);
    void _parse_alarm(Buffer* buf, AR_COMMON_ITEM* item, uint8_t cls, bool selected);
    void _parse_string_alarm(Buffer* buf, AR_COMMON_ITEM* item, bool wanted);
    void _parse_group(Buffer* buf, AR_COMMON_ITEM* item, uint8_t cls, bool selected);
    uint8_t _parse_head_in_window(Buffer* buf, AR_COMMON_ITEM* item);

    struct FileCloser {
        void operator()(std::FILE* f) const noexcept { std::fclose(f); }
    };

    // Makes n bytes available in `buf`, refilling the reader's window from
    // the file if it can; false when the data ends first.
    bool _ensure(Buffer* buf, int n) { return buf->get_length() >= n || _top_up(buf, n); }
    bool _top_up(Buffer* buf, int n);
    // As _ensure, but a shortfall cuts the record short (throws).
    void _require(Buffer* buf, int n);
    void _skip(Buffer* buf, int n);
    // Takes the next n bytes as a selected item's payload (copied into the
    // value area too when `copied`), or skips them for an unselected one.
    void _take_payload(Buffer* buf, AR_COMMON_ITEM* item, int n, bool selected, bool copied);

    std::unique_ptr<std::FILE, FileCloser> file;
    // The current file when it is read from memory, and how far.
    ByteSource* byte_source = nullptr;
    std::shared_ptr<const FileBytes> memory;
    std::size_t memory_pos = 0;
    // The current file when it is a zip file's member.
    std::unique_ptr<MemberReader> member;
    // The window; files are read straight into it.
    std::unique_ptr<Buffer> buffer;
    const Filter* filter;
    ReadMonitor* monitor = nullptr;
    uint32_t payload_classes = 0xFFFFFFFFu;
    bool keep_texts = false;
    // The kept text of the current string alarm; grows to the longest, once.
    std::vector<unsigned char> text;

    // The item being decoded, handed to the sink; the fields a record does
    // not carry keep what the item before it left.
    ACI_WITH_DATE record{};
    std::string file_path;          // the current file, for its errors
    int64_t file_bytes_loaded = 0;  // bytes of the current file appended so far
    int64_t file_size = 0;          // the current file's size when it was opened
    int64_t record_offset = 0;      // file offset of the record being decoded
    int64_t read_limit = -1;        // bytes of the file the reader may load; negative: all
    // Where the data ended: the offset of a record cut short, of an end
    // byte, or of the end of the bytes read; and which of these.
    int64_t data_end_offset = 0;
    bool data_end_at_end_byte = false;
    uint16_t id_before_record = 0;  // the id the last whole record left
    static constexpr std::size_t HEAD_BLOCK = 256;
    std::unique_ptr<RecordHead[]> heads;  // a block for export_heads, made once
    std::unique_ptr<WallClock> clock;     // the zone's, when one is set
    const unsigned char* payload_at = nullptr;  // the selected item's payload in the window
    int32_t payload_bytes = 0;
};

}  // namespace zentrail
