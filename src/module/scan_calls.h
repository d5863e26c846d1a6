// The calls through which zentrail's Scan consumes a read: iteration batch
// by batch, whole NumPy columns, an Arrow stream; and discovery and bound
// parsing for the Python layer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zentrail {

bool make_scan_types(PyObject* module);

// Each takes one request object (see scan_request.h).
PyObject* scan_iterate(PyObject* module, PyObject* request);
PyObject* scan_to_numpy(PyObject* module, PyObject* request);
// arrow_stream(request, requested_schema or None) -> capsule "arrow_array_stream".
PyObject* scan_arrow_stream(PyObject* module, PyObject* args);
// arrow_schema(columns: tuple of column places) -> capsule "arrow_schema".
PyObject* scan_arrow_schema(PyObject* module, PyObject* args);

// find_files(request) -> list[str]: the files the request reads, in order.
PyObject* find_files(PyObject* module, PyObject* request);
// parse_bound(text: str) -> bound tuple; ValueError naming the text.
PyObject* parse_bound_text(PyObject* module, PyObject* arg);
// The columns of a scan: a tuple of (name, NumPy dtype) pairs, in order.
PyObject* columns_tuple();
// The names of the name columns, whose places follow COLUMNS'.
PyObject* name_columns_tuple();
// The names of the lakes' state files that discovery passes over (of rows,
// then of grids): the one table of them, which the Python layer names its
// state files by.
PyObject* lake_state_names_tuple();

}  // namespace zentrail
