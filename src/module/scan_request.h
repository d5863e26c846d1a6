// What a columnar read reads, as plain values: the Python layer checks and
// normalises the caller's arguments, and hands them over in one tuple.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "scan/row_predicate.h"
#include "selection/filter.h"
#include "selection/path_list.h"
#include "time/bound.h"

namespace zentrail {

struct ScanRequest {
    bool listed = false;   // the files are `paths`, as given; else found under `root_dir`
    std::string root_dir;
    PathList paths;
    BoundSpec start{};
    BoundSpec end{};
    std::vector<int32_t> codes;  // ascending, distinct, 0 .. 65535 * 1024 + 1023
    bool every_code = false;     // codes given as None: every value of every signal
    int threads = 1;
    std::size_t batch_rows = 1;
    PyObject* progress = nullptr;  // borrowed: a callable taking (done, total), or null
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
};

// Reads the tuple (where, listed, start, end, codes, threads, batch_rows,
// progress[, pushdown]) that zentrail's Scan hands over: `where` a bytes path
// or a list of them; the bounds as (year, month, day, ns_of_day, unit_ns);
// `codes` a buffer of int32; `pushdown` None or (columns, class_mask,
// subtype_mask, elements, limit, row_window): a tuple of column places, two
// ints, None or 128 bytes of element bits (bit n of byte n // 8), an int
// (negative: none), None or a (start, end) pair of bound tuples.
// Throws PythonErrorAlreadySet with an exception set.
ScanRequest scan_request_from(PyObject* args);

// A bound tuple (year, month, day, ns_of_day, unit_ns), checked.
BoundSpec bound_from(PyObject* tuple, const char* name);

// A path given as bytes; TypeError (thrown as PythonErrorAlreadySet) for
// anything else.
std::string bytes_of(PyObject* object);
// The bytes of the regular files among `paths`, for progress reports.
int64_t size_of_files(const PathList& paths);

// The files a scan of `request` reads, in the order it reads them.
PathList scan_paths(const ScanRequest& request);

// Column places (a tuple of ints, each once) as a selection.
ColumnSelection columns_from(PyObject* columns);

// The filter of the request's window and codes.
std::unique_ptr<Filter> scan_filter(const ScanRequest& request);

}  // namespace zentrail
