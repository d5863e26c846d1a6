// How every call of the core waits for its workers: with the interpreter
// lock released, in slices short enough that Ctrl-C is felt at once,
// running Python's signal handlers between slices and telling a progress
// callable how far the read has come. One loop for every kind of read, so
// that each handles a signal, a progress callable's failure and its
// StopIteration the same way.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>

#include "module/gil.h"
#include "module/owned_ref.h"

namespace zentrail {

// How long a wait for the workers lasts before the consuming thread looks
// for pending signals again: well under the 100 ms a person notices.
constexpr std::chrono::milliseconds SIGNAL_CHECK_INTERVAL{20};
// At most this often is progress reported.
constexpr std::chrono::milliseconds PROGRESS_INTERVAL{100};

class RunLoop {
public:
    // `progress`: a borrowed callable taking (done, total), or null; it must
    // outlive the loop. `total`: the bytes of the files read.
    RunLoop(PyObject* progress, int64_t total) : progress(progress), total(total) {}

    // The next result of `source` (a ParallelReader or a FileRunner: next(out,
    // wait) and bytes_read()) into *out; false at the end, after telling
    // progress the whole total. Throws PythonErrorAlreadySet for a signal
    // handler's or the progress callable's exception, and what the source
    // throws (a file's failure).
    template <typename Source, typename Out>
    bool next(Source& source, Out* out) {
        for (;;) {
            const auto got = without_gil([&] { return source.next(out, SIGNAL_CHECK_INTERVAL); });
            if (PyErr_CheckSignals() != 0) throw PythonErrorAlreadySet{};
            if (got == Source::Next::Finished) {
                report(total, true);
                return false;
            }
            report(std::min(source.bytes_read(), total), false);
            if (got != Source::Next::Waiting) return true;
        }
    }

    // The callable told from now on (an iterator's consumer hands its own
    // to each step).
    void set_progress(PyObject* callable) { progress = callable; }

    // Tells the progress callable `done` of the total: at most every
    // PROGRESS_INTERVAL, but always when `final`.
    void report(int64_t done, bool final);

    // For an Arrow stream, whose consumer calls from threads of its own
    // without the interpreter lock: a check to run while it waits, which
    // runs the signal handlers when called on the main thread (the only one
    // Python runs them on) and throws StreamStopped when one raised. A
    // KeyboardInterrupt is set pending again, so that the consumer's own
    // next check raises it.
    static std::function<void()> stream_signal_check();

private:
    PyObject* progress;
    int64_t total;
    std::chrono::steady_clock::time_point last_report = std::chrono::steady_clock::now();
};

}  // namespace zentrail
