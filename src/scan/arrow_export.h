// Column batches as Arrow data: a struct array of the six columns per batch,
// and a stream over a read's batches.
#pragma once

#include <memory>
#include <vector>

#include "scan/arrow_c_data.h"
#include "scan/column_batch.h"

namespace zentrail {

// The schema of a batch: a struct of the columns, none nullable.
void export_schema(ArrowSchema* out);
// Moves `batch` into `out`; its release frees the batch.
void export_batch(std::unique_ptr<ColumnBatch> batch, ArrowArray* out);
// A stream that hands out `batches` in order, then ends; its release frees
// those not taken.
void export_stream(std::vector<std::unique_ptr<ColumnBatch>> batches, ArrowArrayStream* out);

}  // namespace zentrail
