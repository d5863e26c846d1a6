// Column batches as Arrow data: a struct array of the six columns per batch,
// and a stream over a read's batches.
#pragma once

#include <memory>
#include <vector>

#include "scan/arrow_c_data.h"
#include "scan/column_batch.h"
#include "scan/row_predicate.h"

namespace zentrail {

// The schema of a batch: a struct of the selected columns, none nullable.
void export_schema(ArrowSchema* out, const ColumnSelection& columns = ColumnSelection());
// Moves `batch` into `out` (its selected columns); its release frees the batch.
void export_batch(std::unique_ptr<ColumnBatch> batch, ArrowArray* out,
                  const ColumnSelection& columns = ColumnSelection());
// A stream that hands out `batches` in order, then ends; its release frees
// those not taken.
void export_stream(std::vector<std::unique_ptr<ColumnBatch>> batches, ArrowArrayStream* out);

}  // namespace zentrail
