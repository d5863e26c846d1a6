#include "scan/tail_reader.h"

#include <algorithm>
#include <memory>

namespace zentrail {

void read_tail(Parser& parser, const ReadPlan& plan, const std::string& path, const ResumePoint& from,
               int64_t max_bytes, TailRows* out, int64_t until) {
    ColumnBuilder builder(
        plan.filter.get(), plan.batch_rows,
        [&](std::unique_ptr<ColumnBatch> batch) { out->rows.append(*batch, plan.columns); }, nullptr,
        plan.row_predicate());
    int64_t limit = from.offset + std::max(max_bytes, TAIL_MIN_STEP);
    if (until >= 0) limit = std::min(limit, std::max(until, from.offset));
    out->next = parser.read_file_from(&builder, path, from, limit);
    builder.flush();
}

}  // namespace zentrail
