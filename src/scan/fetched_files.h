// The files of a read whose bytes the caller fetches (from object storage, a
// zip file): the caller puts each file's bytes in as they arrive, in the
// order the read takes them, and the read's workers take them out. At most
// a given number of files are held at once, fetched or being fetched, so
// that memory stays bounded however many files the read takes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "archive/byte_source.h"

namespace zentrail {

class FetchedFiles : public ByteSource, public std::enable_shared_from_this<FetchedFiles> {
public:
    // `names` and `sizes` (as listed) are the files' names and sizes, in
    // the order the read takes them: a name given twice is fetched once and
    // taken twice. `in_flight` is the most files held at once (at least 1).
    static std::shared_ptr<FetchedFiles> make(std::vector<std::string> names, std::vector<int64_t> sizes,
                                              std::size_t in_flight);

    // Waits at most `wait` for room for one more file; true when there is
    // (the caller may then fetch one and put it in), false on time out or
    // once the read is closed.
    bool reserve(std::chrono::milliseconds wait);
    // A reserved file's bytes as they arrive, piece by piece (a piece is
    // copied in, so the caller's buffer is free again at once), then that
    // they are complete; or the failure of fetching it (a failed open when
    // `offset` is negative, else a failed read at that byte).
    void append(const std::string& name, const unsigned char* piece, std::size_t size);
    void complete(const std::string& name);
    void fail(const std::string& name, int os_error, int64_t offset);
    // Ends the read's side: waiting takes and reservations return, and what
    // is held is dropped. The reader closes it when it ends.
    void close();
    bool closed() const;

    std::shared_ptr<const FileBytes> take(const std::string& name, ReadMonitor* monitor) override;
    int64_t size_of(const std::string& name) const override;

private:
    struct Entry {
        int64_t size = 0;
        int takes = 0;  // times the read takes it, until the last of which it is held here
        FileBytes arriving;  // appended, not yet complete
        std::shared_ptr<const FileBytes> bytes;
        bool failed = false;
        int os_error = 0;
        int64_t offset = -1;
    };
    FetchedFiles(std::vector<std::string> names, std::vector<int64_t> sizes, std::size_t in_flight);
    void _released();

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::unordered_map<std::string, Entry> entries;
    std::size_t in_flight;
    std::size_t held = 0;  // reserved and not yet released by the reader
    bool is_closed = false;
};

}  // namespace zentrail
