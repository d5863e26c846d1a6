// The calls of an aligned read: a scan's codes on a grid, as whole columns,
// batch by batch to a callable, or an Arrow stream.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zentrail {

// align(request, series[, on_batch[, max_cells]]): `request` is the scan's
// request over the widened window, `series` the grid
// (zentrail._series.window.SeriesGrid, read by its fields' names).
// Returns (names, times, [values]) as buffers of whole columns, or
// (names, None, None) without filling them when the grid has more than
// max_cells cells (rows times its columns and the time column); with
// on_batch, calls on_batch(names, times, [values]) per batch and returns None.
// A grid whose row_times is true adds, to the whole columns, per column the
// int64 instants of each value's row and of the row after it (NaT for none):
// (names, times, [values], [row times], [next row times]).
PyObject* align_call(PyObject* module, PyObject* args);
// align_columns(request, series): the names of the grid's columns, found by
// the passes before its rows (the codes with rows, when the request has none).
PyObject* align_columns_call(PyObject* module, PyObject* args);
// code_column_name(code): the name of a code's column, "<signal_id>:<element>".
PyObject* code_column_name_call(PyObject* module, PyObject* arg);
// align_stream(request, series): the Arrow stream capsule of the same.
PyObject* align_stream_call(PyObject* module, PyObject* args);
}  // namespace zentrail
