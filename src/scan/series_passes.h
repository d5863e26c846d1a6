// The two passes a time series makes before its rows: one over record heads
// alone, at the inventory's speed, that finds each file's span after the
// window's start and each code's last candidate row at or before it; and one
// that decodes the values of only the files holding those rows, for the
// value in force at the window's start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "archive/record_sink.h"
#include "scan/code_columns.h"
#include "scan/row_predicate.h"
#include "scan/series_rows.h"
#include "selection/filter.h"

namespace zentrail {

// The instants of a series' rows, in nanoseconds since 1970-01-01: rows
// considered lie in [first, last]; `start` is the window's first instant.
struct SeriesWindow {
    int64_t first = 0;
    int64_t start = 0;
    int64_t last = 0;
};

// What a code's rows in one file (or in the files merged so far) give.
struct CodeCandidates {
    int64_t at_start = INT64_MIN;  // the last candidate row at or before start
    int64_t last_time = INT64_MIN;  // the last candidate row of all
};

// One file's heads: of the records of the series' ids after the window's
// start, the earliest instant and whether their instants never go back.
struct FileHeads {
    int64_t first_after = INT64_MAX;
    int64_t latest = INT64_MIN;
    bool ordered = true;
    bool before_start = false;  // it holds a candidate row at or before start
    std::vector<CodeCandidates> codes;  // by column; empty for every code
};

// A candidate row is one the column builder would make of a record from its
// head alone: its id and element selected, of a class with values, kept by
// the row conditions. Whether its value is a number only decoding tells.
class HeadPassSink : public RecordSink {
public:
    // `columns` is null for every code (no candidates kept, spans only).
    // The span is of the records after `after` (the window's start, or the
    // instant before it when the rows at the start are read too).
    HeadPassSink(const SeriesWindow& window, int64_t after, const CodeColumns* columns, const RowPredicate* predicate,
                 FileHeads* out);
    void export_value(ACI_WITH_DATE* item) override;
    bool takes_heads() const override { return true; }
    void export_heads(const RecordHead* heads, std::size_t count, uint32_t date) override;

private:
    void _note(uint8_t code, uint8_t param, uint16_t id, int64_t time);

    SeriesWindow window;
    int64_t after;
    const CodeColumns* columns;
    const RowPredicate* predicate;
    FileHeads* out;
};

// A code's value rows as the value pass finds them: the last at or before
// the window's start, and the time of the last of all.
struct CodeValues {
    SeriesPoint at_start{INT64_MIN, 0.0};
    int64_t last_time = INT64_MIN;
};

// One file's values: by column for given codes, by code for every code.
struct FileValues {
    std::vector<CodeValues> columns;
    std::unordered_map<int32_t, CodeValues> codes;
};

// Decodes the value rows the filter selects (its window: up to the start for
// given codes, the whole of the rows considered for every code).
class InForceSink : public RecordSink {
public:
    // `columns` is null for every code.
    InForceSink(const Filter* filter, int64_t start, const CodeColumns* columns, const RowPredicate* predicate,
                FileValues* out);
    void export_value(ACI_WITH_DATE* item) override;

private:
    const Filter* filter;
    int64_t start;
    const CodeColumns* columns;
    const RowPredicate* predicate;
    FileValues* out;
};

}  // namespace zentrail
