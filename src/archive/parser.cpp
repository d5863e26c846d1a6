// The per-file reading loop.
#include "archive/parser.h"

#include <cerrno>

#include "archive/read_errors.h"
#include "output/writer.h"
#include "selection/filter.h"

namespace zentrail {

Parser::Parser(const Filter* filter) : buffer(std::make_unique<Buffer>()), filter(filter) {}

Parser::~Parser() = default;

bool Parser::_open_file(const char* path) {
    _close_current_file();
    errno = 0;
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) throw FileOpenError(path, errno);
    file.reset(f);
    file_bytes_loaded = 0;
    return true;
}

void Parser::_close_current_file() { file.reset(); }

void Parser::_load() {
    if (!file) return;
    // Straight into the window, after its unread bytes: no second copy.
    int room = 0;
    unsigned char* at = buffer->prepare_append(&room);
    std::size_t got = std::fread(at, 1, static_cast<std::size_t>(room), file.get());
    if (got == 0) {
        // The end of the file, or a read error, which is taken as its end.
        _close_current_file();
        return;
    }
    buffer->commit_append(static_cast<int>(got));
    file_bytes_loaded += static_cast<int64_t>(got);
}

void Parser::exportFiles(Writer* writer, const PathList* paths) {
    // Starts zeroed: a system item before any other item carries id 0.
    ACI_WITH_DATE record{};
    for (const std::string& path : *paths) {
        unsigned int day = 0;
        // Whatever an earlier file left unread (past its end byte, or after a
        // failed run) is dropped: each file is decoded from its own first byte.
        buffer->shift(buffer->get_length());
        _open_file(path.c_str());
        _load();
        for (;;) {
            int rc = _read_next_item_from_data(buffer.get(), &day, &record.item);
            if (rc == AR_ITEM) {
                if (filter == nullptr || filter->hasId(record.item.id)) {
                    record.date = day;
                    writer->export_value(&record);
                }
                if (buffer->get_length() <= REFILL_THRESHOLD) _load();
                continue;
            }
            if (rc < -99) {
                if (rc == AR_FORMAT_ERROR) {
                    record.date = day;
                    record.item.code = static_cast<uint8_t>(ARCODE(0, 2));
                    record.item.param = 4;
                    writer->export_value(&record);
                }
                throw FileFormatError(path, record_offset);
            }
            _close_current_file();
            break;
        }
    }
}

}  // namespace zentrail
