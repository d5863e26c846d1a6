#include "module/scan_run.h"

#include "module/scan_request.h"

namespace zentrail {

ScanRun::ScanRun(ReadPlan plan) : read(std::move(plan)), limits(read.limit, read.later) {
    total_bytes = size_of_files(read.paths, read.source.get());
    loop = RunLoop(nullptr, total_bytes);
    reader = std::make_unique<ParallelReader>(read.filter.get(), read.paths, read.threads, read.batch_rows,
                                              read.row_predicate(), read.source.get(), read.skip_damaged, read.zone);
}

std::unique_ptr<ColumnBatch> ScanRun::next(PyObject* progress, PyObject* damaged) {
    if (finished) return nullptr;
    loop.set_progress(progress);
    loop.set_damaged(damaged);
    for (;;) {
        std::unique_ptr<ColumnBatch> batch;
        if (!loop.next(*reader, &batch)) {
            finished = true;
            return nullptr;
        }
        if (!limits.keep(batch.get())) {
            // The last rows wanted: the workers stop now, not at the end.
            reader = std::make_unique<ParallelReader>(read.filter.get(), PathList(), 1, 1);
        }
        if (batch->rows == 0) continue;
        return batch;
    }
}

}  // namespace zentrail
