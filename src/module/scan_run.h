// One consumption of a scan: the parallel read of its plan, batch by batch,
// waited on through the run loop, the limit kept as the batches go.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>

#include "module/run_loop.h"
#include "scan/parallel_reader.h"
#include "scan/read_plan.h"

namespace zentrail {

// Holds no Python object: it may be ended, and its workers joined, at any
// point, by any thread, with or without the interpreter lock.
class ScanRun {
public:
    // Starts the workers on the plan's files; throws when a thread cannot start.
    explicit ScanRun(ReadPlan plan);
    ScanRun(const ScanRun&) = delete;
    ScanRun& operator=(const ScanRun&) = delete;

    // The next batch in order, or null at the end (after reporting the whole
    // total to `progress`, a borrowed callable or null). Throws the failure
    // of a file, a signal handler's exception, or the progress callable's.
    std::unique_ptr<ColumnBatch> next(PyObject* progress);
    // Hands a batch that next() gave, and that nothing refers to any more,
    // back for reuse.
    void recycle(std::unique_ptr<ColumnBatch> batch) { reader->recycle(std::move(batch)); }
    const ReadPlan& plan() const { return read; }

private:
    ReadPlan read;
    std::unique_ptr<ParallelReader> reader;
    int64_t remaining;  // rows still to give; negative: no limit
    int64_t total_bytes = 0;
    // The loop's progress timing, kept from call to call of next().
    RunLoop loop{nullptr, 0};
    bool finished = false;
};

}  // namespace zentrail
