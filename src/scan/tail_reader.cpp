#include "scan/tail_reader.h"

#include <algorithm>
#include <memory>

namespace zentrail {

void read_tail(Parser& parser, const ReadPlan& plan, const std::string& path, const ResumePoint& from,
               int64_t max_bytes, TailRows* out) {
    ColumnBuilder builder(
        plan.filter.get(), plan.batch_rows,
        [&](std::unique_ptr<ColumnBatch> batch) { out->rows.append(*batch, plan.columns); }, nullptr,
        plan.row_predicate());
    out->next = parser.read_file_from(&builder, path, from, from.offset + std::max(max_bytes, TAIL_MIN_STEP));
    builder.flush();
}

}  // namespace zentrail
