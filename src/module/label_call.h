// The call that finds the catalog's labels of a batch's rows (see
// scan/code_labels.h), for zentrail._labels.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zentrail {

// label_indices(signal_id, element, slot, tables, outs) -> None. signal_id
// and element: uint16 buffers of one length; slot: an int32 buffer of 65,536
// block numbers; tables and outs: tuples of int32 buffers, one table per
// field (blocks * 1024 places) and one writable output per field, each as
// long as signal_id. The GIL is released while the rows are looked up.
PyObject* label_indices_call(PyObject* module, PyObject* args);

}  // namespace zentrail
