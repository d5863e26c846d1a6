// Reads the rows a growing archive file gains: from the place the last read
// of it stopped, through the bytes that are there, into column batches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "archive/parser.h"
#include "scan/column_builder.h"
#include "scan/row_predicate.h"
#include "selection/filter.h"

namespace zentrail {

class TailReader {
public:
    // `filter` and `predicate` (null: every row the filter selects) are
    // borrowed and must outlive the reader.
    TailReader(const Filter* filter, const RowPredicate* predicate, std::size_t batch_rows);

    // Reads `path` from `from` through at most `max_bytes` more bytes (at
    // least the longest record, so that a call always gets past a whole
    // record that is there), handing each full batch and then the last,
    // partial one to `on_batch`. Returns the place after the last whole
    // record read. Throws as Parser::read_file_from.
    ResumePoint read(const std::string& path, const ResumePoint& from, int64_t max_bytes,
                     const ColumnBuilder::BatchHandler& on_batch);

    // The longest record (a string alarm with the longest text) and a page.
    static constexpr int64_t MIN_STEP = 65536 + 12 + 4096;

private:
    const Filter* filter;
    const RowPredicate* predicate;
    std::size_t batch_rows;
    Parser parser;  // one window for every read of the follower
};

}  // namespace zentrail
