// The call of time-weighted sums: per code and bucket, the seconds a value
// was in force and its integral.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zentrail {

// time_weighted(request, span): `span` is (start, end, origin, width, count,
// max_gap, first); returns the columns signal_id, element, bucket, in_force
// and integral as a dict of buffers.
PyObject* time_weighted_call(PyObject* module, PyObject* args);

}  // namespace zentrail
