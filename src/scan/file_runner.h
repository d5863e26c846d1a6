// Runs one task per archive file on several threads and hands the files'
// results back in file order, a few files ahead at most: the engine of the
// reads whose result per file is not a column batch (an inventory, events).
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "archive/parser.h"
#include "scan/damaged_file.h"
#include "selection/path_list.h"
#include "selection/read_monitor.h"

namespace zentrail {

template <typename Result>
class FileRunner {
public:
    // Reads `path` with `parser` (made by the runner's parser maker, one per
    // worker) into `out`. A throw fails the file; what `out` holds by then
    // still counts, as the rows before a failure do in a scan.
    using Task = std::function<void(Parser& parser, const std::string& path, Result& out)>;
    using ParserMaker = std::function<std::unique_ptr<Parser>()>;

    // With `skip_damaged`, a damaged file (see DamagedFile) hands on its
    // result and the read goes on; take_damaged() tells it.
    FileRunner(PathList paths, int threads, ParserMaker make_parser, Task task, bool skip_damaged = false)
        : paths(std::move(paths)), make_parser(std::move(make_parser)), task(std::move(task)),
          skip_damaged(skip_damaged), slots(this->paths.size()) {
        const std::size_t count = std::min<std::size_t>({static_cast<std::size_t>(std::max(threads, 1)),
                                                         this->paths.size(), std::size_t{64}});
        files_ahead = 2 * std::max<std::size_t>(count, 1);
        workers.reserve(count);
        try {
            for (std::size_t i = 0; i < count; ++i) workers.emplace_back([this] { _work(); });
        } catch (const std::system_error& e) {
            _cancel();
            throw std::system_error(e.code(), "cannot start a worker thread of the read");
        } catch (...) {
            _cancel();
            throw;
        }
    }
    ~FileRunner() { _cancel(); }
    FileRunner(const FileRunner&) = delete;
    FileRunner& operator=(const FileRunner&) = delete;

    enum class Next { Ready, Waiting, Finished };
    // The next file's result into *out, waiting at most `wait`. A failed
    // file hands on its result first; the next call rethrows its failure,
    // and nothing after it counts.
    Next next(Result* out, std::chrono::milliseconds wait) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            if (head >= slots.size()) return Next::Finished;
            Slot& slot = slots[head];
            if (slot.done) {
                if (!slot.taken) {
                    slot.taken = true;
                    *out = std::move(slot.result);
                    if (!slot.failure) _advance(lock);
                    return Next::Ready;
                }
                std::optional<DamagedFile> damage = skip_damaged ? damage_of(slot.failure) : std::nullopt;
                if (damage) {
                    damaged.push_back(std::move(*damage));
                    _advance(lock);
                    continue;
                }
                std::exception_ptr failure = slot.failure;
                head = slots.size();
                cancelled = true;
                stop.store(true, std::memory_order_relaxed);
                lock.unlock();
                room.notify_all();
                std::rethrow_exception(failure);
            }
            if (done_signal.wait_until(lock, deadline) == std::cv_status::timeout) {
                if (head < slots.size() && !slots[head].done) return Next::Waiting;
            }
        }
    }

    int64_t bytes_read() const { return bytes.load(std::memory_order_relaxed); }
    // The damaged files passed over since the last call (the consumer's thread only).
    std::vector<DamagedFile> take_damaged() { return std::move(damaged); }

private:
    struct Slot {
        Result result{};
        std::exception_ptr failure;
        bool done = false;
        bool taken = false;
    };
    struct Cancelled {};

    class Monitor : public ReadMonitor {
    public:
        explicit Monitor(FileRunner* owner) : owner(owner) {}
        void poll(int64_t n) override {
            owner->bytes.fetch_add(n, std::memory_order_relaxed);
            if (owner->stop.load(std::memory_order_relaxed)) throw Cancelled{};
        }

    private:
        FileRunner* owner;
    };

    void _advance(std::unique_lock<std::mutex>& lock) {
        ++head;
        lock.unlock();
        room.notify_all();
        lock.lock();
    }

    void _work() {
        std::unique_ptr<Parser> parser;
        Monitor monitor(this);
        for (;;) {
            std::size_t k;
            {
                std::unique_lock<std::mutex> lock(mutex);
                room.wait(lock, [this] { return cancelled || next_file >= slots.size() || next_file < head + files_ahead; });
                if (cancelled || next_file >= slots.size()) return;
                k = next_file++;
            }
            Result result{};
            std::exception_ptr failure;
            try {
                if (!parser) {
                    parser = make_parser();
                    parser->set_monitor(&monitor);
                }
                task(*parser, paths[k], result);
            } catch (const Cancelled&) {
                return;
            } catch (...) {
                failure = std::current_exception();
            }
            {
                std::lock_guard<std::mutex> lock(mutex);
                slots[k].result = std::move(result);
                slots[k].failure = std::move(failure);
                slots[k].done = true;
            }
            done_signal.notify_all();
        }
    }

    void _cancel() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            cancelled = true;
        }
        stop.store(true, std::memory_order_relaxed);
        room.notify_all();
        for (std::thread& worker : workers) {
            if (worker.joinable()) worker.join();
        }
    }

    const PathList paths;
    ParserMaker make_parser;
    Task task;
    const bool skip_damaged;
    std::vector<DamagedFile> damaged;  // the consumer's alone
    std::size_t files_ahead = 2;
    std::mutex mutex;
    std::condition_variable room;         // the head moved on, or the read is cancelled
    std::condition_variable done_signal;  // a file is done
    std::vector<Slot> slots;
    std::size_t next_file = 0;
    std::size_t head = 0;
    bool cancelled = false;
    std::atomic<bool> stop{false};
    std::atomic<int64_t> bytes{0};
    std::vector<std::thread> workers;
};

}  // namespace zentrail
