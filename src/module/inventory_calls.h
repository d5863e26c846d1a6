// The calls behind zentrail.inventory and the name tables: a read whose
// result per file is an aggregate, run on the worker threads with the
// interpreter lock released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zentrail {

// What one row of an inventory counts: the records of an id and class over
// the whole read, of one day, or of one day in one file.
enum InventoryRows { INVENTORY_WHOLE = 0, INVENTORY_BY_DAY = 1, INVENTORY_BY_FILE = 2 };

// inventory(request, by) -> dict of the columns by name, each an object
// lending its bytes to NumPy; by file, "file" is each row's index into
// "files_read", the names of the files in read order. The request's start
// or end may be None (open).
PyObject* inventory_call(PyObject* module, PyObject* args);
// record_names(code, param) -> (class_name, subtype_name, detail), as the
// text writer prints them.
PyObject* record_names_call(PyObject* module, PyObject* args);
// The class names by class number, and the one for any other number.
PyObject* class_names_tuple();

}  // namespace zentrail
