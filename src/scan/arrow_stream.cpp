#include "scan/arrow_stream.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <system_error>

#include "archive/read_errors.h"
#include "scan/arrow_export.h"
#include "scan/parallel_reader.h"

namespace zentrail {

namespace {

// How long get_next waits for the workers before it calls on_wait again.
constexpr std::chrono::milliseconds WAIT_SLICE{20};

// The one implementation of the C stream's calls, over any source.
class Stream {
public:
    explicit Stream(std::unique_ptr<BatchSource> source) : source(std::move(source)) {}

    int schema(ArrowSchema* out) {
        std::lock_guard<std::mutex> lock(mutex);
        if (failure_code != 0) return failure_code;
        try {
            source->schema(out);
            return 0;
        } catch (...) {
            return _fail();
        }
    }

    int next(ArrowArray* out) {
        std::lock_guard<std::mutex> lock(mutex);
        if (failure_code != 0) return failure_code;
        try {
            if (!source->next(out)) out->release = nullptr;  // the end of the stream
            return 0;
        } catch (...) {
            return _fail();
        }
    }

    const char* last_error() {
        std::lock_guard<std::mutex> lock(mutex);
        return failure_code != 0 ? error.c_str() : nullptr;
    }

private:
    // A failed stream stays failed, and its source (a read's workers) stops now.
    int _fail() {
        FailureText failure = describe_failure(std::current_exception());
        source.reset();
        failure_code = failure.code;
        error = std::move(failure.text);
        return failure_code;
    }

    std::mutex mutex;
    std::unique_ptr<BatchSource> source;
    int failure_code = 0;
    std::string error;
};

// A read's batches, decoded as they are asked for.
class ReadSource : public BatchSource {
public:
    explicit ReadSource(StreamPlan plan) : plan(std::move(plan)), limits(this->plan.limit, this->plan.later) {}

    void schema(ArrowSchema* out) override { export_schema(out, plan.columns, plan.zone.time_format()); }

    bool next(ArrowArray* out) override {
        std::unique_ptr<ColumnBatch> batch = _next_batch();
        if (!batch) return false;
        export_batch(std::move(batch), out, plan.columns);
        return true;
    }

private:
    std::unique_ptr<ColumnBatch> _next_batch() {
        if (ended) return nullptr;
        if (!reader) {
            reader = std::make_unique<ParallelReader>(plan.filter.get(), plan.paths, plan.threads, plan.batch_rows,
                                                      plan.row_predicate(), plan.source.get(), plan.skip_damaged,
                                                      plan.zone);
        }
        for (;;) {
            std::unique_ptr<ColumnBatch> batch;
            const ParallelReader::Next got = reader->next(&batch, WAIT_SLICE);
            for (const DamagedFile& file : reader->take_damaged()) {
                if (plan.on_damaged) plan.on_damaged(file);
            }
            // As often while batches flow as while waiting for them.
            const auto now = std::chrono::steady_clock::now();
            if (plan.on_wait && (got == ParallelReader::Next::Waiting || now - last_check >= WAIT_SLICE)) {
                last_check = now;
                plan.on_wait();
            }
            if (got == ParallelReader::Next::Finished) return _end();
            if (got == ParallelReader::Next::Waiting) continue;
            // The last rows wanted: the workers stop before the consumer has them.
            if (!limits.keep(batch.get())) _end();
            if (batch->rows == 0) {
                if (ended) return nullptr;
                continue;
            }
            return batch;
        }
    }

    std::unique_ptr<ColumnBatch> _end() {
        ended = true;
        reader.reset();
        return nullptr;
    }

    StreamPlan plan;
    LimitedRows limits;
    std::unique_ptr<ParallelReader> reader;
    std::chrono::steady_clock::time_point last_check{};
    bool ended = false;
};

Stream* state_of(ArrowArrayStream* stream) { return static_cast<Stream*>(stream->private_data); }

int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) { return state_of(stream)->schema(out); }
int stream_next(ArrowArrayStream* stream, ArrowArray* out) { return state_of(stream)->next(out); }
const char* stream_error(ArrowArrayStream* stream) { return state_of(stream)->last_error(); }
void stream_release(ArrowArrayStream* stream) {
    delete state_of(stream);
    stream->release = nullptr;
}

// A path as Python's repr() shows it in read's notes, for ordinary paths.
std::string quoted(const std::string& path) {
    const bool single = path.find('\'') != std::string::npos;
    const char quote = single && path.find('"') == std::string::npos ? '"' : '\'';
    std::string out(1, quote);
    for (unsigned char c : path) {
        if (c == '\\' || c == static_cast<unsigned char>(quote)) {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            static const char hex[] = "0123456789abcdef";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    out += quote;
    return out;
}

std::string errno_text(int os_error) { return "[Errno " + std::to_string(os_error) + "] " + std::strerror(os_error); }

}  // namespace

void export_stream(std::unique_ptr<BatchSource> source, ArrowArrayStream* out) {
    auto* state = new Stream(std::move(source));
    *out = ArrowArrayStream{stream_schema, stream_next, stream_error, stream_release, state};
}

void export_read_stream(StreamPlan plan, ArrowArrayStream* out) {
    export_stream(std::make_unique<ReadSource>(std::move(plan)), out);
}

FailureText describe_failure(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const FileFormatError& e) {
        return {EINVAL, std::string(e.what()) + " (archive file " + quoted(e.path) + ", malformed record at byte " +
                            std::to_string(e.offset) + ")"};
    } catch (const FileOpenError& e) {
        return {EIO, std::string(e.what()) + " (archive file " + quoted(e.path) + ": " + errno_text(e.os_error) + ")"};
    } catch (const FileReadError& e) {
        return {EIO, errno_text(e.os_error) + " (archive file " + quoted(e.path) + ", read failed at byte " +
                         std::to_string(e.offset) + ")"};
    } catch (const StreamStopped& e) {
        return {EINTR, e.what()};
    } catch (const std::bad_alloc&) {
        return {ENOMEM, "out of memory"};
    } catch (const std::system_error& e) {
        const bool os = e.code().category() == std::generic_category() || e.code().category() == std::system_category();
        return {os && e.code().value() != 0 ? e.code().value() : EIO, e.what()};
    } catch (const std::exception& e) {
        return {EIO, e.what()};
    } catch (...) {
        return {EIO, "unknown failure"};
    }
}

ColumnSelection selection_from_schema(const ArrowSchema& requested) {
    if (requested.format == nullptr || std::strcmp(requested.format, "+s") != 0) {
        throw std::invalid_argument(std::string("a scan gives a struct of columns (format \"+s\"), not format \"") +
                                    (requested.format != nullptr ? requested.format : "") + "\"");
    }
    if (requested.n_children < 0 || requested.n_children > static_cast<int64_t>(SELECTABLE_COUNT)) {
        throw std::invalid_argument("a scan has " + std::to_string(SELECTABLE_COUNT) +
                                    " columns; the requested schema asks for " + std::to_string(requested.n_children));
    }
    ColumnSelection selection;
    selection.count = 0;
    for (int64_t i = 0; i < requested.n_children; ++i) {
        const ArrowSchema* child = requested.children[i];
        const char* name = child != nullptr && child->name != nullptr ? child->name : "";
        std::size_t column = SELECTABLE_COUNT;
        for (std::size_t c = 0; c < SELECTABLE_COUNT; ++c) {
            if (std::strcmp(column_name(c), name) == 0) column = c;
        }
        if (column == SELECTABLE_COUNT) {
            throw std::invalid_argument(std::string("the requested schema asks for a column \"") + name +
                                        "\" that a scan does not have (it has time, signal_id, element, value, "
                                        "item_class, subtype, class_name, subtype_name)");
        }
        if (selection.holds(column)) {
            throw std::invalid_argument(std::string("the requested schema asks for the column \"") + name + "\" twice");
        }
        const char* format = child->format != nullptr ? child->format : "";
        // A name column is dictionary-encoded: uint8 indices of utf8 names.
        const bool names = column >= COLUMN_COUNT;
        const char* ours = names ? "C" : COLUMNS[column].arrow_format;
        const bool same = std::strcmp(format, ours) == 0 &&
                          (!names || (child->dictionary != nullptr && child->dictionary->format != nullptr &&
                                      std::strcmp(child->dictionary->format, "u") == 0));
        if (!same) {
            throw std::invalid_argument(std::string("the requested schema asks for the column \"") + name +
                                        "\" as Arrow format \"" + format + "\"; a scan gives it only as \"" + ours +
                                        (names ? "\" with a dictionary of \"u\"" : "\"") + " (cast it after the read)");
        }
        selection.order[selection.count++] = column;
    }
    return selection;
}

}  // namespace zentrail
