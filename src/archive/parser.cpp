// The per-file reading loop.
#include "archive/parser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "archive/read_errors.h"
#include "output/writer.h"
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
    std::FILE* f = ::fdopen(fd, "rb");
    if (f == nullptr) {
        int error = errno;
        ::close(fd);
        throw FileOpenError(path, error);
    }
    file.reset(f);
    return true;
}

void Parser::_close_current_file() { file.reset(); }

void Parser::_load() {
    if (!file) return;
    // Straight into the window, after its unread bytes: no second copy.
    int room = 0;
    unsigned char* at = buffer->prepare_append(&room);
    const int wanted = room < READ_CHUNK_SIZE ? room : READ_CHUNK_SIZE;
    std::size_t got = 0;
    for (;;) {
        got = std::fread(at, 1, static_cast<std::size_t>(wanted), file.get());
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
    buffer->commit_append(static_cast<int>(got));
    file_bytes_loaded += static_cast<int64_t>(got);
    if (monitor != nullptr) monitor->poll(static_cast<int64_t>(got));
}

void Parser::exportFiles(Writer* writer, const PathList* paths) {
    // Starts zeroed: a system item before any other item carries id 0.
    ACI_WITH_DATE record{};
    for (const std::string& path : *paths) {
        unsigned int day = 0;
        // Whatever an earlier file left unread (past its end byte, or after a
        // failed run) is dropped: each file is decoded from its own first byte.
        buffer->shift(buffer->get_length());
        if (monitor != nullptr) monitor->poll(0);
        _open_file(path.c_str());
        _load();
        for (;;) {
            bool selected = false;
            int rc = _read_next_item_from_data(buffer.get(), &day, &record.item, &selected);
            if (rc == AR_ITEM) {
                if (selected) {
                    record.date = day;
                    writer->export_value(&record);
                }
                if (buffer->get_length() <= REFILL_THRESHOLD) _load();
                continue;
            }
            if (is_read_error(rc)) {
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
