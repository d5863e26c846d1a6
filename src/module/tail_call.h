// The call through which a follower reads what an archive file gained.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zentrail {

// tail_read(request: tuple, path: bytes, offset: int, day: int, id: int,
//           max_bytes: int) -> (columns: dict, offset, day, id, ended)
// `request` is a scan request tuple (scan_request.h): its window and codes
// select the rows. Reads `path` from `offset` (with the day and the carried
// id there) through at most max_bytes more bytes, stopping before a record
// that the file's current end cuts; returns the rows as one dict of NumPy
// arrays and the place after the last whole record.
PyObject* tail_read(PyObject* module, PyObject* args);

}  // namespace zentrail
