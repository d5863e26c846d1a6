// The calls behind zentrail.events: the alarm and system records of a read,
// whole or a few files at a time, through the run loop.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zentrail {

// events(request, ids | None, system) -> dict of the columns, each lending
// its bytes to NumPy, and "text": a list of str or None.
PyObject* events_call(PyObject* module, PyObject* args);
// iterate_events(request, ids | None, system, files_per_batch) -> an
// iterator of such dicts, each the events of the next few files; progress
// is told the bytes of the whole read.
PyObject* iterate_events_call(PyObject* module, PyObject* args);

}  // namespace zentrail
