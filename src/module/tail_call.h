// The call through which a follower, and a lake kept in step, read what an
// archive file gained.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zentrail {

// tail_read(request, at, max_bytes: int) -> (columns: dict, after)
// `request` is a zentrail._read.request.Request listing one file; its window,
// codes and columns select the rows. `at` names a place between two records
// by its fields (zentrail._read.tail.ResumePoint): `offset`, and the decoder's
// state there, `day` (of the last date mark) and `id` (that a system item
// would carry). Reads the file from there through at most max_bytes more
// bytes, stopping before a record that the file's current end cuts, on a
// worker waited on by the run loop (Ctrl-C is felt within its slice); returns
// the rows as one dict of NumPy arrays and the place after the last whole
// record, made as type(at)(offset=, day=, id=, ended=) (`ended`: an end byte
// stands there). A request that can select nothing reads nothing and returns
// the place it was given.
PyObject* tail_read(PyObject* module, PyObject* args);

}  // namespace zentrail
