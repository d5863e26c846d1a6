// Reads a list of archive files into column batches on several threads, one
// file per task, and hands the batches back in file order.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "archive/byte_source.h"
#include "scan/column_batch.h"
#include "scan/damaged_file.h"
#include "scan/row_predicate.h"
#include "selection/filter.h"
#include "selection/path_list.h"
#include "time/wall_clock.h"

namespace zentrail {

class ParallelReader {
public:
    // Starts min(threads, file count, MAX_WORKERS) workers at once. `filter`
    // and `predicate` (null: every selected row) are borrowed and must
    // outlive the reader; the workers only read them.
    // Throws std::system_error (with the errno) when a thread cannot start,
    // after stopping the workers already started.
    // `source` (borrowed, may be null) gives the files' bytes instead of
    // their paths. With `skip_damaged`, a damaged file (see DamagedFile) ends
    // its own rows only: the read goes on with the next file, and
    // take_damaged() tells it.
    ParallelReader(const Filter* filter, PathList paths, int threads, std::size_t batch_rows,
                   const RowPredicate* predicate = nullptr, ByteSource* source = nullptr,
                   bool skip_damaged = false, ReadZone zone = {}, std::size_t counted_from = 0);

    // The most workers one read starts, whatever it asks for. A worker reads
    // one file at a time from the disk and decodes it faster than most disks
    // give it bytes, so beyond a few dozen more workers only add threads, a
    // window and batches in flight each; and a read asking for a million
    // threads must not try to start them.
    static constexpr std::size_t MAX_WORKERS = 64;

    std::size_t worker_count() const { return workers.size(); }
    // Stops the workers, waits for them and frees every batch not taken.
    ~ParallelReader();
    ParallelReader(const ParallelReader&) = delete;
    ParallelReader& operator=(const ParallelReader&) = delete;

    enum class Next { Batch, Waiting, Finished };
    // The next batch in file order into *out, waiting at most `wait` for it.
    // When the files before a failed one and that file's rows before its
    // failure have been taken, rethrows the failure (FileOpenError,
    // FileFormatError, ...), as the single-threaded reader would have
    // thrown it; the files after it count for nothing.
    Next next(std::unique_ptr<ColumnBatch>* out, std::chrono::milliseconds wait);

    // Takes back a batch the consumer is done with, to be filled again: a
    // read that copies its batches away then reuses the same few blocks of
    // memory instead of asking the system for fresh pages for each.
    void recycle(std::unique_ptr<ColumnBatch> batch);

    // The damaged files passed over since the last call, in file order (the
    // consumer's thread only).
    std::vector<DamagedFile> take_damaged() { return std::move(damaged); }

    // Bytes read from the files so far, by all workers.
    int64_t bytes_read() const { return bytes.load(std::memory_order_relaxed); }

private:
    struct FileSlot {
        std::deque<std::unique_ptr<ColumnBatch>> batches;
        bool done = false;
        std::exception_ptr failure;
    };
    struct Cancelled {};
    class Monitor;

    void _work();
    void _read_file(std::size_t k, class Parser* parser);
    void _hand_on(std::size_t k, std::unique_ptr<ColumnBatch> batch);
    void _finish(std::size_t k, std::exception_ptr failure);
    void _cancel();
    std::unique_ptr<ColumnBatch> _empty_batch();

    const Filter* filter;
    const RowPredicate* predicate;
    ByteSource* source;
    const ReadZone zone;  // the files' wall times read as its instants, when set
    // What the zone had to guess is counted of the files from this one on;
    // the ones before are placed without counting (another pass counts them).
    const std::size_t counted_from;
    const PathList paths;
    const std::size_t batch_rows;
    const bool skip_damaged;
    std::vector<DamagedFile> damaged;  // the consumer's alone
    // Files a worker may run ahead of the consumer, and batches not yet
    // taken: the file being taken may hold up to BATCHES_PER_FILE; the files
    // after it together up to queue_limit, enough for a worker to run a
    // whole ordinary day file ahead. Together they bound the memory of a
    // read of any length, and the file being taken is never kept waiting
    // by the others.
    std::size_t files_ahead;
    std::size_t queue_limit;
    static constexpr std::size_t BATCHES_PER_FILE = 4;
    static constexpr std::size_t QUEUE_BYTES = std::size_t{32} << 20;
    static constexpr std::size_t MAX_QUEUED_BATCHES = 256;

    std::mutex mutex;
    std::condition_variable produced;  // a batch or an end of file is there
    std::condition_variable consumed;  // room was made, or the read is cancelled
    std::vector<FileSlot> slots;
    std::vector<std::unique_ptr<ColumnBatch>> spare;  // recycled, empty
    std::size_t next_file = 0;  // the next file a worker takes
    std::size_t head = 0;       // the file the consumer is taking batches of
    std::size_t queued_ahead = 0;  // batches held by the files after head
    bool cancelled = false;
    std::atomic<int64_t> bytes{0};
    std::vector<std::thread> workers;
};

// The CPUs this process may run on (at least 1).
int usable_cpu_count();

}  // namespace zentrail
