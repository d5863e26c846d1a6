// Everything one read is asked for, whole: the files, the codes and window
// (narrowed by any window on the rows), the per-row conditions, the columns
// and the most rows. Every consumer of a read (the column batches, the Arrow
// stream, an overview) is given the plan itself rather than parts of it, so
// that no consumer can leave out a narrowing the caller asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "archive/byte_source.h"
#include "scan/limited_rows.h"
#include "scan/row_predicate.h"
#include "selection/filter.h"
#include "selection/path_list.h"
#include "time/wall_clock.h"
#include "time/bound.h"

namespace zentrail {

struct ReadPlan {
    PathList paths;
    // The window of the read's own bounds: what an overview's buckets split.
    InstantWindow window{};
    // The codes, and the window of the rows (the read's, narrowed by any
    // window on the rows).
    std::unique_ptr<Filter> filter;
    RowPredicate predicate;
    bool has_predicate = false;
    ColumnSelection columns;
    int64_t limit = -1;  // the most rows; negative: all
    // Conditions and limits given after the limit, in their order.
    std::vector<LaterStage> later;
    // A damaged file (a malformed record, a file that cannot be opened or
    // read) ends its own rows, not the read; the consumer hears of it.
    bool skip_damaged = false;
    int threads = 1;
    std::size_t batch_rows = 65536;
    // Where the files' bytes come from when they are not opened as paths
    // (fetched from elsewhere); null for paths.
    std::shared_ptr<ByteSource> source;
    // The zone the files' wall times are read in (empty: as they stand).
    ReadZone zone;

    // The per-row conditions, or null when every row the filter selects is kept.
    const RowPredicate* row_predicate() const { return has_predicate ? &predicate : nullptr; }
    // Nothing can come of the read: no code selected, or no row wanted.
    bool reads_nothing() const {
        if (filter->isEmpty() || limit == 0) return true;
        for (const LaterStage& stage : later) {
            if (stage.limit == 0) return true;
        }
        return false;
    }
    // Whether which rows count depends on the rows before them (a limit):
    // then they are counted where the batches meet in read order.
    bool counts_rows() const { return limit >= 0 || !later.empty(); }
};

}  // namespace zentrail
