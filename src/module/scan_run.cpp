#include "module/scan_run.h"

#include "module/scan_request.h"

namespace zentrail {

ScanRun::ScanRun(ReadPlan plan) : read(std::move(plan)), remaining(read.limit) {
    total_bytes = size_of_files(read.paths, read.source.get());
    loop = RunLoop(nullptr, total_bytes);
    reader = std::make_unique<ParallelReader>(read.filter.get(), read.paths, read.threads, read.batch_rows,
                                              read.row_predicate(), read.source.get());
}

std::unique_ptr<ColumnBatch> ScanRun::next(PyObject* progress) {
    if (finished) return nullptr;
    loop.set_progress(progress);
    for (;;) {
        std::unique_ptr<ColumnBatch> batch;
        if (!loop.next(*reader, &batch)) {
            finished = true;
            return nullptr;
        }
        if (remaining >= 0) {
            if (static_cast<int64_t>(batch->rows) >= remaining) {
                // The last rows wanted: the workers stop now, not at the end.
                batch->rows = static_cast<std::size_t>(remaining);
                reader = std::make_unique<ParallelReader>(read.filter.get(), PathList(), 1, 1);
            }
            remaining -= static_cast<int64_t>(batch->rows);
            if (batch->rows == 0) continue;
        }
        return batch;
    }
}

}  // namespace zentrail
