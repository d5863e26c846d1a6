// Column batches as Arrow data: a struct array of the selected columns per
// batch (the stream over a read's batches is arrow_stream.h's).
#pragma once

#include <memory>
#include <vector>

#include "scan/arrow_c_data.h"
#include "scan/column_batch.h"
#include "scan/row_predicate.h"

namespace zentrail {

// The schema of a batch: a struct of the selected columns, none nullable.
void export_schema(ArrowSchema* out, const ColumnSelection& columns = ColumnSelection(), const char* time_format = "tsn:");
// The Arrow format of a time column of instants in `zone` ("tsn:Europe/Berlin";
// "tsn:" for none): kept for the life of the process, so that a schema's
// child that a consumer moves out never outlives its format.
const char* time_format_of(const std::string& zone);
// Moves `batch` into `out` (its selected columns); its release frees the batch.
void export_batch(std::unique_ptr<ColumnBatch> batch, ArrowArray* out,
                  const ColumnSelection& columns = ColumnSelection());

}  // namespace zentrail
