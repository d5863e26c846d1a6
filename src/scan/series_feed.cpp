#include "scan/series_feed.h"

#include <sys/stat.h>

#include <algorithm>

#include "archive/parser.h"
#include "archive/read_errors.h"
#include "scan/column_batch.h"

namespace zentrail {

namespace {

constexpr int64_t ARCHIVE_LAST_UNIX_NS = INT64_MAX;

// The archive window of [first, last] (ns since 1970-01-01); closed when empty.
InstantWindow archive_window(int64_t first, int64_t last) {
    InstantWindow window;
    if (first > last || last < ARCHIVE_EPOCH_UNIX_NS) return window;
    window.open = true;
    window.first_ns = first < ARCHIVE_EPOCH_UNIX_NS ? 0 : static_cast<uint64_t>(first - ARCHIVE_EPOCH_UNIX_NS);
    window.last_ns = static_cast<uint64_t>(last - ARCHIVE_EPOCH_UNIX_NS);
    return window;
}

std::unique_ptr<Filter> filter_of(int64_t first, int64_t last, const SeriesRequest& request,
                                  const CodeColumns& columns) {
    auto filter = std::make_unique<Filter>(archive_window(first, last));
    if (request.every_code) {
        filter->select_every_code();
    } else {
        for (std::size_t k = 0; k < columns.size(); ++k) filter->addId(columns.code(k));
    }
    return filter;
}

// The zone of a pass after the one over every file: its rows are placed as
// that pass placed them, but counted there alone (a row guessed or left out
// is told once, as a scan of the same files tells it).
ReadZone uncounted(ReadZone zone) {
    zone.counts = nullptr;
    return zone;
}

int64_t size_of(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : 0;
}

}  // namespace

SeriesFeed::SeriesFeed(SeriesRequest request) : request(std::move(request)) {
    if (!this->request.every_code) code_columns = CodeColumns(this->request.codes);
    const PathList& paths = this->request.paths;
    const SeriesWindow window = this->request.window;
    file_heads.resize(paths.size());
    candidates.assign(code_columns.size(), CodeCandidates{});
    candidate_file.assign(code_columns.size(), 0);
    // The heads of files wholly after the start tell nothing of the rows in
    // force, only where their rows begin and whether in order: their first
    // record's instant is a bound below the first (order unknown, they
    // count as unordered), and their rows' last instants lie at or before
    // their last. Only a run at the end of the read order is left out, so
    // that the rows pass counts the clock's guesses of exactly those files.
    heads_end = paths.size();
    int64_t last_skipped = INT64_MIN;
    for (; heads_end > 0; --heads_end) {
        const auto span = this->request.spans.find(paths[heads_end - 1]);
        if (span == this->request.spans.end()) break;
        const FileSpan& s = span->second;
        if (s.first > s.last || s.first <= window.start || s.last > window.last) break;
        FileHeads& heads = file_heads[heads_end - 1];
        heads.first_after = s.first;
        heads.ordered = false;
        last_skipped = std::max(last_skipped, s.last);
    }
    for (CodeCandidates& c : candidates) c.last_time = last_skipped;
    for (std::size_t f = 0; f < paths.size(); ++f) {
        const int64_t size = this->request.source ? this->request.source->size_of(paths[f]) : size_of(paths[f]);
        total_bytes += f < heads_end ? 2 * size : size;  // the heads, then the rows
    }
    const RowPredicate* predicate = this->request.has_predicate ? &this->request.predicate : nullptr;
    const CodeColumns* columns = this->request.every_code ? nullptr : &code_columns;
    // The heads pass reads every file: its clock counts are the read's,
    // unless the rows handed on are counted instead.
    const int64_t after = this->request.rows_from_start ? window.start - 1 : window.start;
    heads_runner = std::make_unique<FileRunner<FileHeads>>(
        PathList(paths.begin(), paths.begin() + static_cast<std::ptrdiff_t>(heads_end)), this->request.threads,
        [zone = this->request.rows_from_start ? uncounted(this->request.zone) : this->request.zone,
         source = this->request.source] {
            auto parser = std::make_unique<Parser>(nullptr);
            parser->set_payload_classes(0);
            parser->set_zone(zone);
            parser->set_byte_source(source.get());
            return parser;
        },
        [window, after, columns, predicate](Parser& parser, const std::string& path, FileHeads& out) {
            HeadPassSink sink(window, after, columns, predicate, &out);
            parser.read_file(&sink, path);
        });
}

SeriesFeed::~SeriesFeed() = default;

int64_t SeriesFeed::bytes_read() const {
    int64_t now = bytes_before;
    if (heads_runner) now += heads_runner->bytes_read();
    if (values_runner) now += values_runner->bytes_read();
    if (reader) now += reader->bytes_read();
    return std::min(now, total_bytes);
}

bool SeriesFeed::_prepare(std::chrono::milliseconds wait) {
    if (phase == Phase::Heads) {
        FileHeads heads;
        const auto got = heads_runner->next(&heads, wait);
        if (got == FileRunner<FileHeads>::Next::Waiting) return false;
        if (got == FileRunner<FileHeads>::Next::Ready) {
            _merge_heads(heads_done++, std::move(heads));
            return false;
        }
        bytes_before += heads_runner->bytes_read();
        heads_runner.reset();
        _start_values(request.every_code);
        return false;
    }
    if (phase == Phase::Values) {
        FileValues got_values;
        const auto got = values_runner->next(&got_values, wait);
        if (got == FileRunner<FileValues>::Next::Waiting) return false;
        if (got == FileRunner<FileValues>::Next::Ready) {
            // Files in read order: a later row at the same instant wins.
            for (std::size_t k = 0; k < got_values.columns.size(); ++k) {
                CodeValues& v = values[k];
                const CodeValues& w = got_values.columns[k];
                if (w.at_start.time != INT64_MIN && w.at_start.time >= v.at_start.time) v.at_start = w.at_start;
                v.last_time = std::max(v.last_time, w.last_time);
            }
            for (const auto& entry : got_values.codes) {
                CodeValues& v = every_values[entry.first];
                if (entry.second.at_start.time != INT64_MIN && entry.second.at_start.time >= v.at_start.time) {
                    v.at_start = entry.second.at_start;
                }
                v.last_time = std::max(v.last_time, entry.second.last_time);
            }
            return false;
        }
        bytes_before += values_runner->bytes_read();
        values_runner.reset();
        _finish_values();
        if (phase == Phase::Values) return false;  // a second value pass, over every file
        return true;
    }
    return true;
}

// Rethrows the failure being handled, a file's failure naming the file as
// the caller knows it.
void SeriesFeed::_rethrow_named() const {
    const auto shown = [this](std::string& path) {
        const auto at = std::find(request.paths.begin(), request.paths.end(), path);
        const auto k = static_cast<std::size_t>(at - request.paths.begin());
        if (at != request.paths.end() && k < request.shown.size()) path = request.shown[k];
    };
    try {
        throw;
    } catch (FileOpenError& e) {
        shown(e.path);
        throw;
    } catch (FileReadError& e) {
        shown(e.path);
        throw;
    } catch (FileFormatError& e) {
        shown(e.path);
        throw;
    }
}

void SeriesFeed::_merge_heads(std::size_t file, FileHeads&& heads) {
    for (std::size_t k = 0; k < heads.codes.size(); ++k) {
        const CodeCandidates& c = heads.codes[k];
        if (c.at_start != INT64_MIN && c.at_start >= candidates[k].at_start) {
            candidates[k].at_start = c.at_start;
            candidate_file[k] = file;
        }
        candidates[k].last_time = std::max(candidates[k].last_time, c.last_time);
    }
    std::vector<CodeCandidates>().swap(heads.codes);
    file_heads[file] = std::move(heads);
}

void SeriesFeed::_start_values(bool every_file) {
    phase = Phase::Values;
    values_of_every_file = every_file;
    values.assign(code_columns.size(), CodeValues{});
    every_values.clear();
    PathList paths;
    if (request.every_code) {
        // Every code's rows must be seen to know the codes with values.
        paths = request.paths;
    } else {
        std::vector<bool> wanted(request.paths.size(), false);
        for (std::size_t k = 0; k < candidates.size(); ++k) {
            if (candidates[k].at_start != INT64_MIN) wanted[candidate_file[k]] = true;
        }
        for (std::size_t f = 0; f < request.paths.size(); ++f) {
            if (wanted[f] || (every_file && file_heads[f].before_start)) paths.push_back(request.paths[f]);
        }
    }
    const int64_t last = request.every_code ? request.window.last : request.window.start;
    value_filter = filter_of(request.window.first, last, request, code_columns);
    const Filter* filter = value_filter.get();
    const RowPredicate* predicate = request.has_predicate ? &request.predicate : nullptr;
    const CodeColumns* columns = request.every_code ? nullptr : &code_columns;
    const int64_t start = request.window.start;
    values_runner = std::make_unique<FileRunner<FileValues>>(
        std::move(paths), request.threads,
        [filter, zone = uncounted(request.zone), source = request.source] {
            auto parser = std::make_unique<Parser>(filter);
            parser->set_payload_classes(0);
            parser->set_zone(zone);
            parser->set_byte_source(source.get());
            return parser;
        },
        [filter, start, columns, predicate](Parser& parser, const std::string& path, FileValues& out) {
            InForceSink sink(filter, start, columns, predicate, &out);
            parser.read_file(&sink, path);
        });
}

void SeriesFeed::_take_in_force(int32_t code, SeriesPoint* start, int64_t* last_time) const {
    const auto at = std::lower_bound(request.in_force.begin(), request.in_force.end(), code,
                                     [](const CodePoint& p, int32_t c) { return p.code < c; });
    if (at == request.in_force.end() || at->code != code) return;
    if (at->point.time > start->time) *start = at->point;
    *last_time = std::max(*last_time, at->point.time);
}

void SeriesFeed::_finish_values() {
    if (request.every_code) {
        // A code in force from files left out has a column as if read.
        for (const CodePoint& p : request.in_force) every_values.try_emplace(p.code);
        std::vector<int32_t> codes;
        codes.reserve(every_values.size());
        for (const auto& entry : every_values) codes.push_back(entry.first);
        std::sort(codes.begin(), codes.end());
        code_columns = CodeColumns(codes);
        starts.resize(codes.size());
        last_times.resize(codes.size());
        for (std::size_t k = 0; k < codes.size(); ++k) {
            const CodeValues& v = every_values[codes[k]];
            starts[k] = v.at_start;
            last_times[k] = v.last_time;
            _take_in_force(codes[k], &starts[k], &last_times[k]);
        }
        every_values.clear();
        _start_rows();
        return;
    }
    // The last candidate at or before the start is the row in force unless
    // its value is not a number; then the one before it may lie in any
    // earlier file, and every file holding candidates is decoded.
    if (!values_of_every_file) {
        for (std::size_t k = 0; k < candidates.size(); ++k) {
            if (candidates[k].at_start != INT64_MIN && values[k].at_start.time != candidates[k].at_start) {
                _start_values(true);
                return;
            }
        }
    }
    starts.resize(values.size());
    last_times.resize(values.size());
    for (std::size_t k = 0; k < values.size(); ++k) {
        starts[k] = values[k].at_start;
        last_times[k] = candidates[k].last_time;
        _take_in_force(code_columns.code(k), &starts[k], &last_times[k]);
    }
    _start_rows();
}

void SeriesFeed::_start_rows() {
    phase = Phase::Rows;
    PathList paths;
    // The rows pass counts the clock's guesses of the files from
    // `counted_from` on: a scan's files, or those whose heads were not read.
    const std::size_t counted_from = request.rows_from_start ? request.counted_from : heads_end;
    const bool counted = request.rows_from_start || heads_end < request.paths.size();
    std::size_t reader_counted_from = 0;  // the first of the reader's files counted
    for (std::size_t f = 0; f < request.paths.size(); ++f) {
        if (file_heads[f].first_after == INT64_MAX && f < counted_from) continue;
        if (f < counted_from) ++reader_counted_from;
        paths.push_back(request.paths[f]);
        main_files.push_back(MainFile{file_heads[f].first_after, file_heads[f].ordered, f});
    }
    std::vector<FileHeads>().swap(file_heads);
    first_after_from.assign(main_files.size() + 1, INT64_MAX);
    for (std::size_t i = main_files.size(); i-- > 0;) {
        first_after_from[i] = std::min(first_after_from[i + 1], main_files[i].first_after);
    }
    const int64_t first_row = request.rows_from_start ? request.window.start : request.window.start + 1;
    if (paths.empty() || first_row > request.window.last) return;
    row_filter = filter_of(first_row, request.window.last, request, code_columns);
    reader = std::make_unique<ParallelReader>(row_filter.get(), std::move(paths), request.threads,
                                              request.batch_rows,
                                              request.has_predicate ? &request.predicate : nullptr,
                                              request.source.get(), false,
                                              counted ? request.zone : uncounted(request.zone),
                                              counted ? reader_counted_from : SIZE_MAX);
}

void SeriesFeed::_enter(std::size_t file) {
    if (file != current_file) {
        current_file = file;
        latest_seen = INT64_MIN;
    }
}

int64_t SeriesFeed::frontier() const {
    if (finished || !reader) return ARCHIVE_LAST_UNIX_NS;
    if (current_file >= main_files.size()) return ARCHIVE_LAST_UNIX_NS;
    const MainFile& file = main_files[current_file];
    const int64_t here = file.ordered ? std::max(file.first_after, latest_seen) : file.first_after;
    return std::min(here, first_after_from[current_file + 1]);
}

}  // namespace zentrail
