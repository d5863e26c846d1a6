#include "module/scan_run.h"

#include <sys/stat.h>

#include <algorithm>

#include "module/gil.h"
#include "module/owned_ref.h"

namespace zentrail {

namespace {

// How long a wait for the workers lasts before the consuming thread looks
// for pending signals again: well under the 100 ms a person notices.
constexpr std::chrono::milliseconds SIGNAL_CHECK_INTERVAL{20};
// At most this often is progress reported.
constexpr std::chrono::milliseconds PROGRESS_INTERVAL{100};


}  // namespace

ScanRun::ScanRun(const ScanRequest& request)
    : filter(scan_filter(request)), predicate(request.predicate), remaining(request.limit) {
    PathList paths = scan_paths(request);
    // As for read: no selected code, nothing to open; nor when no row is wanted.
    if (filter->isEmpty() || remaining == 0) paths.clear();
    total_bytes = size_of_files(paths);
    last_report = std::chrono::steady_clock::now();
    reader = std::make_unique<ParallelReader>(filter.get(), std::move(paths), request.threads, request.batch_rows,
                                              request.has_predicate ? &predicate : nullptr);
}

std::unique_ptr<ColumnBatch> ScanRun::next(PyObject* progress) {
    if (finished) return nullptr;
    for (;;) {
        std::unique_ptr<ColumnBatch> batch;
        const ParallelReader::Next got =
            without_gil([&] { return reader->next(&batch, SIGNAL_CHECK_INTERVAL); });
        if (PyErr_CheckSignals() != 0) throw PythonErrorAlreadySet{};
        if (got == ParallelReader::Next::Finished) {
            finished = true;
            _report(progress, true);
            return nullptr;
        }
        _report(progress, false);
        if (got != ParallelReader::Next::Batch) continue;
        if (remaining >= 0) {
            if (static_cast<int64_t>(batch->rows) >= remaining) {
                // The last rows wanted: the workers stop now, not at the end.
                batch->rows = static_cast<std::size_t>(remaining);
                reader = std::make_unique<ParallelReader>(filter.get(), PathList(), 1, 1);
            }
            remaining -= static_cast<int64_t>(batch->rows);
            if (batch->rows == 0) continue;
        }
        return batch;
    }
}

void ScanRun::_report(PyObject* progress, bool final) {
    if (progress == nullptr) return;
    const auto now = std::chrono::steady_clock::now();
    if (!final && now - last_report < PROGRESS_INTERVAL) return;
    last_report = now;
    // The files may have grown since they were measured: never past the total.
    const int64_t done = final ? total_bytes : std::min(reader->bytes_read(), total_bytes);
    OwnedRef result = OwnedRef::steal(
        PyObject_CallFunction(progress, "LL", static_cast<long long>(done), static_cast<long long>(total_bytes)));
    if (!result) {
        // Let through, a StopIteration would end a for loop over the scan as
        // if the read were complete: it becomes a RuntimeError, as it does
        // when it leaves a generator.
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
            PyObject *type, *value, *traceback;
            PyErr_Fetch(&type, &value, &traceback);
            PyErr_NormalizeException(&type, &value, &traceback);
            if (traceback != nullptr) PyException_SetTraceback(value, traceback);
            PyErr_SetString(PyExc_RuntimeError, "the progress callable raised StopIteration");
            PyObject *new_type, *new_value, *new_traceback;
            PyErr_Fetch(&new_type, &new_value, &new_traceback);
            PyErr_NormalizeException(&new_type, &new_value, &new_traceback);
            PyException_SetCause(new_value, value);  // steals value
            Py_INCREF(value);
            PyException_SetContext(new_value, value);  // steals value
            PyErr_Restore(new_type, new_value, new_traceback);
            Py_XDECREF(type);
            Py_XDECREF(traceback);
        }
        throw PythonErrorAlreadySet{};
    }
}

}  // namespace zentrail
