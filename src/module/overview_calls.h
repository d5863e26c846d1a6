// The _core entry point of overviews.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zentrail {

// overview(request, buckets, as_arrow): the overview of a scan request (the
// tuple Scan._request() gives), as a dict of bytes columns, or as an Arrow
// stream capsule when as_arrow is true.
PyObject* overview_call(PyObject* module, PyObject* args);

}  // namespace zentrail
