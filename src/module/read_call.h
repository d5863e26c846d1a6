// The read call: wires selection, discovery, reading and export together.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zentrail {

// Returns a new list of 12-tuples for the selected values of the archive
// files under `root_dir` whose time lies in [dt_start, dt_end]; throws on
// failure (PythonErrorAlreadySet when a Python exception is already set).
PyObject* read_archives(const char* root_dir, const char* dt_start, const char* dt_end, PyObject* signals);

}  // namespace zentrail
