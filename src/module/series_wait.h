// How the time-series calls wait for their read: with the interpreter lock
// released, in slices short enough that Ctrl-C is felt at once, telling a
// progress callable how far the read has come.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "module/errors.h"
#include "module/gil.h"
#include "module/owned_ref.h"

namespace zentrail {

class SeriesWait {
public:
    SeriesWait(PyObject* progress, int64_t total) : progress(progress), total(total) {}

    // The next result of `source` (next(out, wait), bytes_read(), and a
    // Next with Waiting and Finished) into *out; false at the end. Throws
    // PythonErrorAlreadySet for a signal handler's or the progress
    // callable's exception, and what the source throws.
    template <typename Source, typename Out>
    bool next(Source& source, Out* out) {
        for (;;) {
            const auto got = without_gil([&] { return source.next(out, SLICE); });
            if (PyErr_CheckSignals() != 0) throw PythonErrorAlreadySet{};
            if (got == Source::Next::Finished) {
                _report(total, true);
                return false;
            }
            _report(std::min(source.bytes_read(), total), false);
            if (got != Source::Next::Waiting) return true;
        }
    }

private:
    static constexpr std::chrono::milliseconds SLICE{20};
    static constexpr std::chrono::milliseconds PROGRESS_EVERY{100};

    void _report(int64_t done, bool final) {
        if (progress == nullptr) return;
        const auto now = std::chrono::steady_clock::now();
        if (!final && now - last < PROGRESS_EVERY) return;
        last = now;
        OwnedRef result = OwnedRef::steal(
            PyObject_CallFunction(progress, "LL", static_cast<long long>(done), static_cast<long long>(total)));
        if (!result) throw PythonErrorAlreadySet{};
    }

    PyObject* progress;
    int64_t total;
    std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
};

}  // namespace zentrail
