// One consumption of a scan: discovery, then the parallel read, waited on
// with the interpreter lock released, waking to check for signals and to
// report progress.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstdint>
#include <memory>

#include "scan/parallel_reader.h"
#include "module/owned_ref.h"
#include "module/scan_arguments.h"
#include "selection/filter.h"

namespace zentrail {

// The paths a scan of `request` reads, in the order it reads them. Throws as
// the read's discovery does.
PathList scan_paths(const ScanRequest& request);

class ScanRun {
public:
    // Finds the files and starts the workers; throws on a walk error.
    explicit ScanRun(const ScanRequest& request);
    ~ScanRun();
    ScanRun(const ScanRun&) = delete;
    ScanRun& operator=(const ScanRun&) = delete;

    // The next batch in order, or null at the end (after reporting the
    // whole total). Throws the failure of a file, a signal handler's
    // exception, or the progress callback's.
    std::unique_ptr<ColumnBatch> next();
    // Hands a batch that next() gave, and that nothing refers to any more,
    // back for reuse.
    void recycle(std::unique_ptr<ColumnBatch> batch) { reader->recycle(std::move(batch)); }

private:
    void _report(bool final);

    Filter filter;
    std::unique_ptr<ParallelReader> reader;
    int64_t total_bytes = 0;
    OwnedRef progress;  // a callable, or a tqdm bar when `bar`, or null
    bool bar = false;
    int64_t reported = 0;
    std::chrono::steady_clock::time_point last_report;
    bool finished = false;
};

}  // namespace zentrail
