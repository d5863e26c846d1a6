// The one Arrow C stream of the engine, over any source of batches: a read
// that decodes as the consumer asks (the stream owns a run of the parallel
// reader, started by the first get_next, so the batches in memory are those
// the reader's queue bounds plus those the consumer holds, however long the
// read), or a table summed up or gathered in the engine (an overview, an
// inventory, events). Consumers (DuckDB, pyarrow, polars) may call it from
// threads of their own, without any lock of ours held; calls are serialised
// inside, and a source's failure is reported the same way for every source.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "scan/arrow_c_data.h"
#include "scan/damaged_file.h"
#include "scan/read_plan.h"
#include "scan/row_predicate.h"

namespace zentrail {

// What on_wait throws to end a stream at the consumer's request (a signal):
// get_next returns EINTR with the text.
class StreamStopped : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A read, and what the stream checks while its consumer waits.
struct StreamPlan : ReadPlan {
    // Called on the consuming thread every few tens of milliseconds while
    // it waits for or takes batches; what it throws ends the stream with
    // that failure. Null: nothing to check.
    std::function<void()> on_wait;
    // Told of each damaged file the read passes over (with skip_damaged),
    // on the consuming thread; what it throws ends the stream with that
    // failure. Null: nothing to tell.
    std::function<void(const DamagedFile&)> on_damaged;
};

// What a stream hands out. Its calls are serialised by the stream; what
// they throw becomes the stream's error (see describe_failure), after which
// the source is released.
class BatchSource {
public:
    virtual ~BatchSource() = default;
    virtual void schema(ArrowSchema* out) = 0;
    // The next batch into *out; false at the end.
    virtual bool next(ArrowArray* out) = 0;
};

// Makes `out` a stream over `source`.
void export_stream(std::unique_ptr<BatchSource> source, ArrowArrayStream* out);

// Makes `out` a stream over `plan`'s read. Nothing is read until get_next;
// its release stops and joins the workers and frees every batch not handed
// out (those handed out live until their own release).
void export_read_stream(StreamPlan plan, ArrowArrayStream* out);

// A failure as the stream reports it: an errno for get_next and the text
// for get_last_error: the message a scan raises, the file and byte in it.
struct FailureText {
    int code;
    std::string text;
};
FailureText describe_failure(std::exception_ptr failure);

// The columns a requested schema asks for: a struct whose children are some
// of ours, by name, with our types, in any order. Throws
// std::invalid_argument saying what cannot be given.
ColumnSelection selection_from_schema(const ArrowSchema& requested);

}  // namespace zentrail
