// The calls through which zentrail's Scan consumes a read: iteration batch
// by batch, whole NumPy columns, an Arrow stream; and discovery and bound
// parsing for the Python layer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zentrail {

bool make_scan_types(PyObject* module);

// Each takes the request tuple of scan_request.h as its arguments.
PyObject* scan_iterate(PyObject* module, PyObject* args);
PyObject* scan_to_numpy(PyObject* module, PyObject* args);
// The request tuple and then the consumer's requested schema (or None).
PyObject* scan_arrow_stream(PyObject* module, PyObject* args);
// arrow_schema(columns: tuple of column places) -> capsule "arrow_schema".
PyObject* scan_arrow_schema(PyObject* module, PyObject* args);

// find_files(root: bytes, start: bound tuple, end: bound tuple) -> list[str]
PyObject* find_files(PyObject* module, PyObject* args);
// parse_bound(text: str) -> bound tuple; ValueError naming the text.
PyObject* parse_bound_text(PyObject* module, PyObject* arg);
// The columns of a scan: a tuple of (name, NumPy dtype) pairs, in order.
PyObject* columns_tuple();
// The names of the name columns, whose places follow COLUMNS'.
PyObject* name_columns_tuple();

}  // namespace zentrail
