// One consumption of a scan: discovery, then the parallel read, waited on
// with the interpreter lock released, waking to check for signals and to
// report progress.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstdint>
#include <memory>

#include "module/scan_request.h"
#include "scan/parallel_reader.h"
#include "selection/filter.h"

namespace zentrail {

// Holds no Python object: it may be ended, and its workers joined, at any
// point, by any thread, with or without the interpreter lock.
class ScanRun {
public:
    // Finds the files and starts the workers; throws on a walk error.
    explicit ScanRun(const ScanRequest& request);
    ScanRun(const ScanRun&) = delete;
    ScanRun& operator=(const ScanRun&) = delete;

    // The next batch in order, or null at the end (after reporting the whole
    // total to `progress`, a borrowed callable or null). Throws the failure
    // of a file, a signal handler's exception, or the progress callable's.
    std::unique_ptr<ColumnBatch> next(PyObject* progress);
    // Hands a batch that next() gave, and that nothing refers to any more,
    // back for reuse.
    void recycle(std::unique_ptr<ColumnBatch> batch) { reader->recycle(std::move(batch)); }

private:
    void _report(PyObject* progress, bool final);

    std::unique_ptr<Filter> filter;
    RowPredicate predicate;
    std::unique_ptr<ParallelReader> reader;
    int64_t remaining;  // rows still to give; negative: no limit
    int64_t total_bytes = 0;
    std::chrono::steady_clock::time_point last_report;
    bool finished = false;
};

}  // namespace zentrail
