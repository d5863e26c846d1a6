// The record sink of a columnar read: one row per value that the tuple
// exporter would hand on, written into fixed-size batches of columns.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "archive/record_sink.h"
#include "scan/column_batch.h"
#include "scan/row_predicate.h"
#include "selection/filter.h"

namespace zentrail {

class ColumnBuilder : public RecordSink {
public:
    using BatchHandler = std::function<void(std::unique_ptr<ColumnBatch>)>;
    // Gives an empty batch of batch_rows capacity (a new one, or a used one
    // to fill again); null means a new one.
    using BatchSource = std::function<std::unique_ptr<ColumnBatch>()>;

    // `filter` and `predicate` are borrowed (null: every row the filter
    // selects). Every full batch of `batch_rows` rows goes to `on_batch`;
    // flush() hands on the last, partial one.
    ColumnBuilder(const Filter* filter, std::size_t batch_rows, BatchHandler on_batch,
                  BatchSource new_batch = nullptr, const RowPredicate* predicate = nullptr);

    void export_value(ACI_WITH_DATE* item) override;
    void flush();

private:
    // The columns of one item's rows that all its values share.
    struct ItemFields {
        int64_t time;
        uint16_t id;
        uint8_t item_class;
        uint8_t subtype;
    };
    void _append(const ItemFields& item, int element, double value) {
        if (!batch) batch = new_batch ? new_batch() : std::make_unique<ColumnBatch>(batch_rows);
        batch->append(item.time, item.id, static_cast<uint16_t>(element), value, item.item_class, item.subtype);
        if (batch->full()) on_batch(std::move(batch));
    }

    const Filter* filter;
    const RowPredicate* predicate;
    std::size_t batch_rows;
    BatchHandler on_batch;
    BatchSource new_batch;
    std::unique_ptr<ColumnBatch> batch;
};

}  // namespace zentrail
