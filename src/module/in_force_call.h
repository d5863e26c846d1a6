// The call of the rows in force at an instant: per code, its last value row
// at or before it, as a time series finds the value in force at its start.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zentrail {

// in_force(request, at): over the request's files (its window not used:
// every row at or before `at`, ns since 1970-01-01), the codes that have a
// value row then and each one's last: a dict of buffers "code" (int32),
// "time" (int64) and "value" (float64), ascending by code.
PyObject* in_force_call(PyObject* module, PyObject* args);

}  // namespace zentrail
