#include "scan/column_builder.h"

#include <cmath>

#include "output/selected_values.h"

namespace zentrail {

ColumnBuilder::ColumnBuilder(const Filter* filter, std::size_t batch_rows, BatchHandler on_batch,
                             BatchSource new_batch, const RowPredicate* predicate)
    : filter(filter),
      predicate(predicate),
      batch_rows(batch_rows == 0 ? 1 : batch_rows),
      on_batch(std::move(on_batch)),
      new_batch(std::move(new_batch)) {}

void ColumnBuilder::export_value(ACI_WITH_DATE* item) {
    const AR_COMMON_ITEM& it = item->item;
    // The same instant the row's date-time is broken down from, whole.
    const ItemFields fields{static_cast<int64_t>(item_timestamp(item)) + ARCHIVE_EPOCH_UNIX_NS, it.id,
                            static_cast<uint8_t>(ARCLASS(it.code)), static_cast<uint8_t>(ARSUBTYPE(it.code))};
    const ItemNumbers value_at(*item);
    if (predicate == nullptr) {
        for_each_selected_value(
            item, *filter, [&] { _append(fields, 0, std::nan("")); },
            [&](int n, int p) { _append(fields, n, value_at(p)); });
        return;
    }
    if (!predicate->keeps_item(fields.item_class, fields.subtype)) return;
    for_each_selected_value(
        item, *filter,
        [&] {
            if (predicate->keeps_element(0)) _append(fields, 0, std::nan(""));
        },
        [&](int n, int p) {
            if (predicate->keeps_element(n)) _append(fields, n, value_at(p));
        });
}

void ColumnBuilder::flush() {
    if (batch && batch->rows > 0) on_batch(std::move(batch));
    batch.reset();
}

}  // namespace zentrail
