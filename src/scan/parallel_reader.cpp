#include "scan/parallel_reader.h"

#include <sched.h>

#include <algorithm>
#include <system_error>

#include "archive/parser.h"
#include "selection/read_monitor.h"
#include "scan/column_builder.h"

namespace zentrail {

// Counts the bytes a worker reads and stops it once the read is cancelled.
class ParallelReader::Monitor : public ReadMonitor {
public:
    explicit Monitor(ParallelReader* owner) : owner(owner) {}
    void poll(int64_t bytes_read) override {
        owner->bytes.fetch_add(bytes_read, std::memory_order_relaxed);
        std::lock_guard<std::mutex> lock(owner->mutex);
        if (owner->cancelled) throw Cancelled{};
    }

private:
    ParallelReader* owner;
};

ParallelReader::ParallelReader(const Filter* filter, PathList paths, int threads, std::size_t batch_rows,
                               const RowPredicate* predicate, ByteSource* source, bool skip_damaged,
                               ReadZone zone, std::size_t counted_from)
    : filter(filter), predicate(predicate), source(source), zone(std::move(zone)), counted_from(counted_from),
      paths(std::move(paths)),
      batch_rows(std::max<std::size_t>(batch_rows, 1)), skip_damaged(skip_damaged), slots(this->paths.size()) {
    const std::size_t worker_count =
        std::min({static_cast<std::size_t>(std::max(threads, 1)), this->paths.size(), MAX_WORKERS});
    files_ahead = 2 * std::max<std::size_t>(worker_count, 1);
    queue_limit = std::clamp<std::size_t>(QUEUE_BYTES / (this->batch_rows * ROW_WIDTH), BATCHES_PER_FILE,
                                          MAX_QUEUED_BATCHES);
    // Room for every worker first: once threads run, only a thread's own
    // start can fail, and std::thread reports that as std::system_error
    // carrying the errno (EAGAIN, mostly), which reaches the caller as it is.
    workers.reserve(worker_count);
    try {
        for (std::size_t i = 0; i < worker_count; ++i) workers.emplace_back([this] { _work(); });
    } catch (const std::system_error& e) {
        _cancel();
        // The system's reason alone ("Resource temporarily unavailable") does
        // not say what could not be had.
        throw std::system_error(e.code(), "cannot start a worker thread of the scan");
    } catch (...) {
        _cancel();
        throw;
    }
}

ParallelReader::~ParallelReader() { _cancel(); }

void ParallelReader::_cancel() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        cancelled = true;
    }
    consumed.notify_all();
    for (std::thread& worker : workers) {
        if (worker.joinable()) worker.join();
    }
}

void ParallelReader::_work() {
    // One reader per worker serves all its files: its window is made once.
    std::unique_ptr<Parser> parser;
    Monitor monitor(this);
    for (;;) {
        std::size_t k;
        {
            std::unique_lock<std::mutex> lock(mutex);
            consumed.wait(lock, [this] { return cancelled || next_file >= slots.size() || next_file < head + files_ahead; });
            if (cancelled || next_file >= slots.size()) return;
            k = next_file++;
        }
        try {
            if (!parser) {
                parser = std::make_unique<Parser>(filter);
                parser->set_payload_classes(0);  // the builder reads the stored payloads
                parser->set_monitor(&monitor);
                parser->set_byte_source(source);
            }
            if (k >= counted_from) {
                parser->set_zone(zone);
            } else {
                ReadZone placed = zone;
                placed.counts = nullptr;
                parser->set_zone(placed);
            }
            _read_file(k, parser.get());
            _finish(k, nullptr);
        } catch (const Cancelled&) {
            return;
        } catch (...) {
            _finish(k, std::current_exception());
        }
    }
}

void ParallelReader::_read_file(std::size_t k, Parser* parser) {
    ColumnBuilder builder(
        filter, batch_rows, [this, k](std::unique_ptr<ColumnBatch> batch) { _hand_on(k, std::move(batch)); },
        [this] { return _empty_batch(); }, predicate);
    // A system item at the head of the file is selected by whatever id the
    // worker's previous file left; it gives no row either way.
    try {
        parser->read_file(&builder, paths[k]);
    } catch (const Cancelled&) {
        throw;
    } catch (...) {
        // The rows before a failure count, as they do for a single reader.
        builder.flush();
        throw;
    }
    builder.flush();
}

void ParallelReader::_hand_on(std::size_t k, std::unique_ptr<ColumnBatch> batch) {
    std::unique_lock<std::mutex> lock(mutex);
    consumed.wait(lock, [&] {
        return cancelled || (k == head ? slots[k].batches.size() < BATCHES_PER_FILE : queued_ahead < queue_limit);
    });
    if (cancelled) throw Cancelled{};
    batch->file = k;
    slots[k].batches.push_back(std::move(batch));
    if (k != head) ++queued_ahead;
    lock.unlock();
    produced.notify_all();
}

void ParallelReader::recycle(std::unique_ptr<ColumnBatch> batch) {
    if (!batch || batch->capacity != batch_rows) return;
    batch->rows = 0;
    std::lock_guard<std::mutex> lock(mutex);
    // One for each worker to fill next, and one more: enough while the
    // consumer keeps up; when it falls behind, the workers take fresh ones.
    if (spare.size() < workers.size() + 1) spare.push_back(std::move(batch));
}

std::unique_ptr<ColumnBatch> ParallelReader::_empty_batch() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!spare.empty()) {
            std::unique_ptr<ColumnBatch> batch = std::move(spare.back());
            spare.pop_back();
            return batch;
        }
    }
    return std::make_unique<ColumnBatch>(batch_rows);
}

void ParallelReader::_finish(std::size_t k, std::exception_ptr failure) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        slots[k].done = true;
        slots[k].failure = std::move(failure);
    }
    produced.notify_all();
}

ParallelReader::Next ParallelReader::next(std::unique_ptr<ColumnBatch>* out, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        if (head >= slots.size()) return Next::Finished;
        FileSlot& slot = slots[head];
        if (!slot.batches.empty()) {
            *out = std::move(slot.batches.front());
            slot.batches.pop_front();
            lock.unlock();
            consumed.notify_all();
            return Next::Batch;
        }
        if (slot.done) {
            std::optional<DamagedFile> damage;
            if (slot.failure && skip_damaged && (damage = damage_of(slot.failure))) {
                damaged.push_back(std::move(*damage));
            } else if (slot.failure) {
                std::exception_ptr failure = slot.failure;
                // Nothing after a failed file is read or handed on.
                head = slots.size();
                cancelled = true;
                lock.unlock();
                consumed.notify_all();
                std::rethrow_exception(failure);
            }
            ++head;
            // The new head's batches count against its own bound now.
            if (head < slots.size()) queued_ahead -= slots[head].batches.size();
            consumed.notify_all();
            continue;
        }
        if (produced.wait_until(lock, deadline) == std::cv_status::timeout) {
            if (head < slots.size() && slots[head].batches.empty() && !slots[head].done) return Next::Waiting;
        }
    }
}

int usable_cpu_count() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    return std::max(1, CPU_COUNT(&set));
}

}  // namespace zentrail
