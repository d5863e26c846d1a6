// The call that formats a batch of columns as CSV lines in the core.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zentrail {

// csv_rows(columns, quoted_characters) -> str: the rows of `columns` (as
// far as the shortest goes), a
// list of (kind, values, offsets), as CSV lines. kind "i": values int64;
// "g": float64; "t": int64 ns, offsets None or int64 ns per row (the wall
// time with its offset); "d": int64 ns written as days; "u": a sequence of
// str or None (other objects as their str()); "U": a NumPy array of str.
PyObject* csv_rows_call(PyObject* module, PyObject* args);
// table_lines(columns, names, right, chunk_rows) -> [str]: the columns (as
// csv_rows takes them, texts unquoted) as an aligned table under a header
// line of `names`, the columns whose `right` is true padded on the left,
// about `chunk_rows` lines a str.
PyObject* table_lines_call(PyObject* module, PyObject* args);

}  // namespace zentrail
