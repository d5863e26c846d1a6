#include "output/column_builder.h"

#include <cmath>

#include "output/selected_values.h"

namespace zentrail {

ColumnBuilder::ColumnBuilder(const Filter* filter, std::size_t batch_rows, BatchHandler on_batch)
    : filter(filter), batch_rows(batch_rows == 0 ? 1 : batch_rows), on_batch(std::move(on_batch)) {}

void ColumnBuilder::export_value(ACI_WITH_DATE* item) {
    const AR_COMMON_ITEM& it = item->item;
    // The same instant the row's date-time is broken down from, whole.
    const int64_t time = static_cast<int64_t>(code_date(static_cast<int32_t>(item->date)) +
                                              code_time(it.ticks_hi, it.ticks_lo)) +
                         ARCHIVE_EPOCH_UNIX_NS;
    for_each_selected_value(
        item, *filter, [&](const ArchiveRow&) { _append(time, item, 0, std::nan("")); },
        [&](const ArchiveRow& row, int n, int p) { _append(time, item, n, row.get_number(p)); });
}

void ColumnBuilder::_append(int64_t time, const ACI_WITH_DATE* item, int element, double value) {
    if (!batch) batch = std::make_unique<ColumnBatch>(batch_rows);
    const AR_COMMON_ITEM& it = item->item;
    batch->append(time, it.id, static_cast<uint16_t>(element), value, static_cast<uint8_t>(ARCLASS(it.code)),
                  static_cast<uint8_t>(ARSUBTYPE(it.code)));
    if (batch->full()) on_batch(std::move(batch));
}

void ColumnBuilder::flush() {
    if (batch && batch->rows > 0) on_batch(std::move(batch));
    batch.reset();
}

}  // namespace zentrail
