#include "scan/fetched_files.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "archive/read_errors.h"

namespace zentrail {

namespace {
// How often a waiting worker polls its read's monitor (a cancelled read, Ctrl-C).
constexpr std::chrono::milliseconds POLL_INTERVAL{50};
}  // namespace

FetchedFiles::FetchedFiles(std::vector<std::string> names, std::vector<int64_t> sizes, std::size_t in_flight)
    : in_flight(std::max<std::size_t>(in_flight, 1)) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        Entry& entry = entries[names[i]];
        entry.size = i < sizes.size() ? sizes[i] : 0;
        ++entry.takes;
    }
}

std::shared_ptr<FetchedFiles> FetchedFiles::make(std::vector<std::string> names, std::vector<int64_t> sizes,
                                                 std::size_t in_flight) {
    return std::shared_ptr<FetchedFiles>(new FetchedFiles(std::move(names), std::move(sizes), in_flight));
}

bool FetchedFiles::reserve(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex);
    if (!changed.wait_for(lock, wait, [this] { return is_closed || held < in_flight; })) return false;
    if (is_closed) return false;
    ++held;
    return true;
}

void FetchedFiles::append(const std::string& name, const unsigned char* piece, std::size_t size) {
    FileBytes arriving;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = entries.find(name);
        if (found == entries.end() || is_closed) return;
        arriving = std::move(found->second.arriving);
        if (arriving.capacity() == 0 && found->second.size > 0) {
            arriving.reserve(static_cast<std::size_t>(found->second.size));
        }
    }
    // Copied outside the lock: the workers take other files meanwhile.
    arriving.insert(arriving.end(), piece, piece + size);
    std::lock_guard<std::mutex> lock(mutex);
    auto found = entries.find(name);
    if (found != entries.end() && !is_closed) found->second.arriving = std::move(arriving);
}

void FetchedFiles::complete(const std::string& name) {
    // Released when the last holder (the reader decoding it) lets go: the
    // room it took is free again then, not when it is taken out.
    std::weak_ptr<FetchedFiles> owner = weak_from_this();
    auto* held_bytes = new FileBytes();
    std::shared_ptr<const FileBytes> shared(held_bytes, [owner](const FileBytes* b) {
        delete b;
        if (auto store = owner.lock()) store->_released();
    });
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = entries.find(name);
        if (found == entries.end() || is_closed) return;  // dropping `shared` releases its room
        *held_bytes = std::move(found->second.arriving);
        found->second.bytes = std::move(shared);
    }
    changed.notify_all();
}

void FetchedFiles::fail(const std::string& name, int os_error, int64_t offset) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = entries.find(name);
        if (found != entries.end()) {
            found->second.failed = true;
            found->second.os_error = os_error != 0 ? os_error : EIO;
            found->second.offset = offset;
        }
        if (held > 0) --held;  // a failure holds no bytes
    }
    changed.notify_all();
}

void FetchedFiles::_released() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (held > 0) --held;
    }
    changed.notify_all();
}

void FetchedFiles::close() {
    std::unordered_map<std::string, Entry> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex);
        is_closed = true;
        for (auto& entry : entries) {
            Entry& gone = dropped[entry.first];
            gone.bytes = std::move(entry.second.bytes);
            gone.arriving = std::move(entry.second.arriving);
        }
    }
    changed.notify_all();
    // `dropped` frees the bytes here, outside the lock their release takes.
}

bool FetchedFiles::closed() const {
    std::lock_guard<std::mutex> lock(mutex);
    return is_closed;
}

std::shared_ptr<const FileBytes> FetchedFiles::take(const std::string& name, ReadMonitor* monitor) {
    std::unique_lock<std::mutex> lock(mutex);
    auto found = entries.find(name);
    if (found == entries.end()) throw FileOpenError(name, ENOENT);
    Entry& entry = found->second;
    for (;;) {
        if (entry.bytes) {
            // Held here until its last take, then only by its readers.
            if (--entry.takes > 0) return entry.bytes;
            std::shared_ptr<const FileBytes> bytes = std::move(entry.bytes);
            return bytes;
        }
        if (entry.failed) {
            if (entry.offset < 0) throw FileOpenError(name, entry.os_error);
            throw FileReadError(name, entry.offset, entry.os_error);
        }
        if (is_closed) throw FileOpenError(name, ECANCELED);
        changed.wait_for(lock, POLL_INTERVAL);
        if (monitor != nullptr) {
            lock.unlock();
            monitor->poll(0);
            lock.lock();
        }
    }
}

int64_t FetchedFiles::size_of(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto found = entries.find(name);
    return found == entries.end() ? 0 : found->second.size;
}

}  // namespace zentrail
