// What a read reads, as plain values: the Python layer checks and normalises
// the caller's arguments and hands them over as one request object
// (zentrail._request.Request), whose fields are read here by name, once.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "scan/read_plan.h"
#include "scan/row_predicate.h"
#include "scan/series_feed.h"
#include "selection/path_list.h"
#include "time/wall_clock.h"
#include "time/bound.h"

namespace zentrail {

struct ScanRequest {
    bool listed = false;   // the files are `paths`, as given; else found under `root_dir`
    std::string root_dir;
    PathList paths;
    // What each listed path is called in a failure, when not its path (empty:
    // every path is its own name).
    PathList shown;
    // A bound left open (an inventory's None) reaches the first or the last
    // instant, and every file's day.
    bool has_start = true;
    bool has_end = true;
    BoundSpec start{};
    BoundSpec end{};
    // The days whose files are read, when not those of start and end: with a
    // zone, start and end are instants and the files are named by local days.
    bool has_file_start = true;
    bool has_file_end = true;
    BoundSpec file_start{};
    BoundSpec file_end{};
    // The zone the files' wall times are read in (empty: as they stand).
    ReadZone zone;
    std::vector<int32_t> codes;  // ascending, distinct, 0 .. 65535 * 1024 + 1023
    bool every_code = false;     // codes given as None: every value of every signal
    // A series read's rows in force from files it leaves out (see SeriesRequest).
    std::vector<CodePoint> in_force;
    // A series read's spans of files known without reading them, by path.
    std::unordered_map<std::string, FileSpan> spans;
    int threads = 1;
    std::size_t batch_rows = 1;
    PyObject* progress = nullptr;  // borrowed from the request object: a callable taking (done, total), or null
    // What the consumer asked to be pushed into the read.
    ColumnSelection columns;
    RowPredicate predicate;
    bool has_predicate = false;
    int64_t limit = -1;  // the most rows; negative: all
    // A narrower window for the rows (not for finding files): a row outside
    // it is skipped, but the files read are still those of start and end.
    bool has_row_window = false;
    BoundSpec row_start{};
    BoundSpec row_end{};
    // Every code of these ids alone, when the codes are every code.
    bool every_id = true;
    SignalIdSet ids;
    std::vector<LaterStage> later;  // conditions and limits given after the limit
    // Borrowed from the request object: a callable taking (path, byte offset
    // or None, reason) for each damaged file the read passes over, or null:
    // a damaged file fails the read.
    PyObject* damaged = nullptr;
    // The listed paths are a listing to discover the archive files in, by
    // the rules of a walk (the day in the name, byte order).
    bool discover = false;
    // The fetched bytes of the listed files (a _core.FetchedFiles), or null:
    // the paths are opened.
    std::shared_ptr<ByteSource> source;
};

// The codes of a buffer of native int32 (a NumPy int32 array), as they are;
// TypeError for any other buffer. Throws PythonErrorAlreadySet.
std::vector<int32_t> codes_from(PyObject* object);
// The numbers of a buffer of native int64 (a NumPy int64 array); TypeError
// for any other buffer. Throws PythonErrorAlreadySet.
std::vector<int64_t> int64_buffer(PyObject* object);
// The float64 values of a buffer of native doubles.
std::vector<double> float64_buffer(PyObject* object);

// Reads a zentrail._request.Request: its fields where (bytes, or a list of
// bytes when listed), listed, shown (None, or a list of bytes: the listed
// files' names in failures), discover, source (None or a FetchedFiles), start
// and end (bound tuples (year, month, day, ns_of_day, unit_ns), or None: open), codes (a buffer of int32, or None:
// every code), threads, batch_rows, progress (a callable or None), columns
// (a tuple of column places), classes and subtypes (bit masks), elements
// (None, or 128 bytes of element bits: bit n of byte n // 8), limit
// (negative: none), row_start and row_end (bound tuples or None), ids (None,
// or 8192 bytes of signal id bits), later (a tuple of stages, each with the
// fields classes, subtypes, elements, limit, row_start, row_end and ids) and
// damaged (a callable or None). The request object must outlive the result
// (progress and damaged are borrowed from it).
// Throws PythonErrorAlreadySet with an exception set.
ScanRequest scan_request_from(PyObject* request);

// The read of a request: its files found (a walk error throws, with the
// interpreter's signal checks), its filter, predicate, window and limit.
// With no code selected, or no row wanted, no file is opened.
ReadPlan read_plan(const ScanRequest& request);

// The files a read of `request` reads, in the order it reads them: found
// under the root between the days of the bounds, or those listed.
PathList files_of(const ScanRequest& request);

// The window of the request's bounds (an open end reaches every instant).
InstantWindow window_of(const ScanRequest& request);

// The bytes of the regular files among `paths` (of `source`'s listing when
// not null), for progress reports.
int64_t size_of_files(const PathList& paths, const ByteSource* source = nullptr);

// Column places (a tuple of ints, each once) as a selection.
ColumnSelection columns_from(PyObject* columns);

}  // namespace zentrail
