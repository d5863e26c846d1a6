#include "scan/limited_rows.h"

namespace zentrail {

LimitedRows::LimitedRows(int64_t first_limit, const std::vector<LaterStage>& later)
    : active_(first_limit >= 0 || !later.empty()), first_left(first_limit), later(later) {
    for (const LaterStage& stage : later) left.push_back(stage.limit);
}

bool LimitedRows::keep(ColumnBatch* batch) {
    if (!active_) return true;
    std::size_t kept = 0;
    bool more = true;
    for (std::size_t r = 0; r < batch->rows && more; ++r) {
        if (first_left == 0) {
            more = false;
            break;
        }
        if (first_left > 0) --first_left;
        bool passes = true;
        for (std::size_t k = 0; k < later.size() && passes; ++k) {
            if (!later[k].keeps(*batch, r)) {
                passes = false;
            } else if (left[k] == 0) {
                // No row after this one can pass stage k either.
                passes = more = false;
            } else if (left[k] > 0) {
                --left[k];
            }
        }
        if (!passes) continue;
        if (kept != r) {
            batch->time[kept] = batch->time[r];
            batch->signal_id[kept] = batch->signal_id[r];
            batch->element[kept] = batch->element[r];
            batch->value[kept] = batch->value[r];
            batch->item_class[kept] = batch->item_class[r];
            batch->subtype[kept] = batch->subtype[r];
        }
        ++kept;
    }
    batch->rows = kept;
    if (first_left == 0) more = false;
    for (int64_t n : left) more = more && n != 0;
    return more;
}

}  // namespace zentrail
