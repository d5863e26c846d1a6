// The calls behind zentrail.inventory and the name tables: a read whose
// result per file is an aggregate, run on the worker threads with the
// interpreter lock released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zentrail {

// inventory(request, by_day) -> dict of the columns by name, each an object
// lending its bytes to NumPy. The request's start or end may be None (open).
PyObject* inventory_call(PyObject* module, PyObject* args);
// record_names(code, param) -> (class_name, subtype_name, detail), as the
// text writer prints them.
PyObject* record_names_call(PyObject* module, PyObject* args);
// The class names by class number, and the one for any other number.
PyObject* class_names_tuple();

}  // namespace zentrail
