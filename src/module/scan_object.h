// zentrail.Scan and the functions that make one: scan, scan_files and
// find_files.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zentrail {

extern PyTypeObject ScanType;
extern PyTypeObject ScanIteratorType;

PyObject* scan_function(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* scan_files_function(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* find_files_function(PyObject* module, PyObject* args, PyObject* kwargs);

// Readies the types of this file and of the column buffers.
bool ready_scan_types(PyObject* module);

}  // namespace zentrail
