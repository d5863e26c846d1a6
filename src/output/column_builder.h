// The record sink of a columnar read: one row per value that the tuple
// exporter would hand on, written into fixed-size batches of columns.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "output/column_batch.h"
#include "output/writer.h"
#include "selection/filter.h"

namespace zentrail {

class ColumnBuilder : public Writer {
public:
    using BatchHandler = std::function<void(std::unique_ptr<ColumnBatch>)>;

    // `filter` is borrowed. Every full batch of `batch_rows` rows goes to
    // `on_batch`; flush() hands on the last, partial one.
    ColumnBuilder(const Filter* filter, std::size_t batch_rows, BatchHandler on_batch);

    void export_value(ACI_WITH_DATE* item) override;
    void flush();

private:
    void _append(int64_t time, const ACI_WITH_DATE* item, int element, double value);

    const Filter* filter;
    std::size_t batch_rows;
    BatchHandler on_batch;
    std::unique_ptr<ColumnBatch> batch;
};

}  // namespace zentrail
