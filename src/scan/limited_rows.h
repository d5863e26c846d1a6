// A read's limits, kept in read order on the batches as they come: the
// first limit counts the rows the decoding kept; conditions given after a
// limit (a later stage) apply to the rows that limit let through, and the
// stage's own limit counts those. Which rows come first depends on every
// file before, so these are kept where the batches meet in order, not by
// the workers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "scan/column_batch.h"
#include "scan/row_predicate.h"
#include "selection/filter.h"

namespace zentrail {

struct LaterStage {
    RowPredicate predicate;
    bool every_id = true;
    SignalIdSet ids;  // the ids kept, unless every_id
    // The rows' times kept, in nanoseconds since 1970-01-01 (a batch's time).
    int64_t first_time = INT64_MIN;
    int64_t last_time = INT64_MAX;
    int64_t limit = -1;  // the most rows of the stage; negative: all

    bool keeps(const ColumnBatch& batch, std::size_t r) const {
        const int64_t t = batch.time[r];
        return t >= first_time && t <= last_time && (every_id || ids[batch.signal_id[r]]) &&
               predicate.keeps_item(batch.item_class[r], batch.subtype[r]) && predicate.keeps_element(batch.element[r]);
    }
};

class LimitedRows {
public:
    // `first_limit` negative: none; `later` is borrowed and must outlive this.
    LimitedRows(int64_t first_limit, const std::vector<LaterStage>& later);
    // Whether anything is kept here (else every batch passes as it is).
    bool active() const { return active_; }
    // Keeps of `batch` the rows that pass, in order, in place; false when no
    // later row can pass (the read may stop).
    bool keep(ColumnBatch* batch);

private:
    bool active_;
    int64_t first_left;
    const std::vector<LaterStage>& later;
    std::vector<int64_t> left;  // rows each later stage still lets through; negative: all
};

}  // namespace zentrail
