// The calls of an aligned read: a scan's codes on a grid, as whole columns,
// batch by batch to a callable, or an Arrow stream.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zentrail {

// align(request, series[, on_batch]): `request` is the scan's request over
// the widened window, `series` the tuple (start, end, every, linear,
// max_gap, first, last) in ns since 1970-01-01 (max_gap negative: none).
// Returns (names, times, [values]) as buffers of whole columns; with
// on_batch, calls on_batch(names, times, [values]) per batch and returns None.
PyObject* align_call(PyObject* module, PyObject* args);
// align_stream(request, series): the Arrow stream capsule of the same.
PyObject* align_stream_call(PyObject* module, PyObject* args);
}  // namespace zentrail
