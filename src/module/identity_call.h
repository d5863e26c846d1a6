// The call of files' identities, many at once (see selection/file_identity.h).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zentrail {

// file_identities(paths): for a sequence of bytes paths, a dict of buffers
// "found" (bool), "size", "mtime_ns" (int64), "inode", "device", "edges"
// (uint64), one item per path.
PyObject* file_identities_call(PyObject* module, PyObject* arg);

}  // namespace zentrail
