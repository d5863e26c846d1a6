// The read behind a time series: the pass over heads, the value in force at
// the window's start, then the rows after it, streamed in read order with
// the frontier before which no row is still to come.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "scan/code_columns.h"
#include "scan/file_runner.h"
#include "scan/parallel_reader.h"
#include "scan/row_predicate.h"
#include "scan/series_passes.h"
#include "selection/filter.h"
#include "selection/path_list.h"

namespace zentrail {

// A code's value row in force at the window's start as known without
// reading its file (from a summary of files read before, kept elsewhere):
// the files it stands for precede the request's paths in read order.
struct CodePoint {
    int32_t code;
    SeriesPoint point;
};

// The instants of a file's first and last records, known without reading
// it (from a summary of the whole file kept elsewhere).
struct FileSpan {
    int64_t first;
    int64_t last;
};

struct SeriesRequest {
    PathList paths;  // the files of the rows considered, in read order
    // What each of `paths` is called in a failure, when not its path (a local
    // copy read in place of a file elsewhere is called by that file's name).
    PathList shown;
    SeriesWindow window;
    std::vector<int32_t> codes;  // distinct, ascending; ignored for every code
    bool every_code = false;
    RowPredicate predicate;
    bool has_predicate = false;
    int threads = 1;
    std::size_t batch_rows = 65536;
    ReadZone zone;  // the files' wall times read as its instants, when set
    // Where the files' bytes come from when they are not opened as paths
    // (the members of a zip file); null for paths. Read twice, heads then
    // rows, so not a source that hands each file's bytes out once.
    std::shared_ptr<ByteSource> source;
    // Rows in force from files left out of `paths` (ascending codes; each at
    // or before the window's start and within its first): merged with those
    // the read finds, which win at one instant, being later in read order.
    std::vector<CodePoint> in_force;
    // The rows at the window's start are handed on too, after the rows in
    // force (an overview of the window's rows counts them); the paths from
    // `counted_from` on (a scan's files) are all read for their rows, and
    // what the zone had to guess is counted of their rows alone, as a scan
    // of those files counts it.
    bool rows_from_start = false;
    std::size_t counted_from = 0;
    // Spans of some of `paths`, by path. The files at the end of the read
    // order whose records all lie after the window's start and within its
    // last instant hold no row in force at the start: their heads are not
    // read, their first instant stands for the first of their rows.
    std::unordered_map<std::string, FileSpan> spans;
};

class SeriesFeed {
public:
    explicit SeriesFeed(SeriesRequest request);
    ~SeriesFeed();
    SeriesFeed(const SeriesFeed&) = delete;
    SeriesFeed& operator=(const SeriesFeed&) = delete;

    // Runs the passes before the rows, waiting at most `wait`; true once
    // done, when the columns, the rows in force at the start and the codes'
    // last instants are known. Throws what a file's read throws.
    bool prepare(std::chrono::milliseconds wait) {
        try {
            return _prepare(wait);
        } catch (...) {
            _rethrow_named();
        }
    }
    const CodeColumns& columns() const { return code_columns; }
    // The value row in force at the start (time INT64_MIN: none), and the
    // last instant a row of the column may have.
    const SeriesPoint& in_force(std::size_t column) const { return starts[column]; }
    int64_t last_time(std::size_t column) const { return last_times[column]; }

    enum class Next { Rows, Waiting, Finished };
    // Takes the next batch of rows after the start and hands each value row
    // to add(column, time, value), in read order; frontier() then tells the
    // earliest instant a row still to come may have.
    template <typename Add>
    Next next(Add&& add, std::chrono::milliseconds wait) {
        if (!reader) return Next::Finished;
        std::unique_ptr<ColumnBatch> batch;
        ParallelReader::Next got;
        try {
            got = reader->next(&batch, wait);
        } catch (...) {
            _rethrow_named();
        }
        if (got == ParallelReader::Next::Finished) {
            finished = true;
            return Next::Finished;
        }
        if (got == ParallelReader::Next::Waiting) return Next::Waiting;
        _enter(batch->file);
        for (std::size_t r = 0; r < batch->rows; ++r) {
            const double value = batch->value[r];
            if (value != value) continue;  // text rows and NaN give no value
            const uint32_t k = code_columns.column_of(batch->signal_id[r], batch->element[r]);
            if (k == CodeColumns::NONE) continue;
            add(k, batch->time[r], value);
        }
        if (batch->rows > 0) latest_seen = std::max(latest_seen, batch->time[batch->rows - 1]);
        reader->recycle(std::move(batch));
        return Next::Rows;
    }
    int64_t frontier() const;
    // The place in the request's paths of the file whose rows next() hands on.
    std::size_t current_path() const { return main_files[current_file].path; }

    int64_t bytes_read() const;
    int64_t bytes_total() const { return total_bytes; }

private:
    struct MainFile {
        int64_t first_after;
        bool ordered;
        std::size_t path;
    };
    bool _prepare(std::chrono::milliseconds wait);
    [[noreturn]] void _rethrow_named() const;
    void _merge_heads(std::size_t file, FileHeads&& heads);
    void _start_values(bool every_file);
    void _finish_values();
    // The later of the row the read found and the one given in force.
    void _take_in_force(int32_t code, SeriesPoint* start, int64_t* last_time) const;
    void _start_rows();
    void _enter(std::size_t file);

    SeriesRequest request;
    CodeColumns code_columns;
    std::unique_ptr<Filter> value_filter;
    std::unique_ptr<Filter> row_filter;
    std::unique_ptr<FileRunner<FileHeads>> heads_runner;
    std::unique_ptr<FileRunner<FileValues>> values_runner;
    std::unique_ptr<ParallelReader> reader;
    enum class Phase { Heads, Values, Rows } phase = Phase::Heads;

    // Merged heads: of the paths before `heads_end`, the others' spans known.
    std::size_t heads_end = 0;
    std::size_t heads_done = 0;
    std::vector<FileHeads> file_heads;  // spans only (codes dropped once merged)
    std::vector<CodeCandidates> candidates;
    std::vector<std::size_t> candidate_file;
    // Merged values.
    bool values_of_every_file = false;
    std::vector<CodeValues> values;
    std::unordered_map<int32_t, CodeValues> every_values;
    std::vector<SeriesPoint> starts;
    std::vector<int64_t> last_times;
    // The rows after the start.
    std::vector<MainFile> main_files;
    std::vector<int64_t> first_after_from;  // the earliest first_after of main file i and after
    std::size_t current_file = 0;
    bool finished = false;
    int64_t latest_seen = INT64_MIN;
    int64_t bytes_before = 0;
    int64_t total_bytes = 0;
};

}  // namespace zentrail
