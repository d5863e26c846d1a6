// The call that makes a table held in Python (an inventory, events) an Arrow
// stream of the engine's, so that no Arrow library is needed to hand it on.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zentrail {

// table_stream(columns) -> capsule "arrow_array_stream". `columns`: a list
// of (name, format, values, names): values a C-contiguous buffer of a
// fixed-width Arrow `format` ("S", "C", "i", "l", "g", "tsn:", "tDn"), or for
// format "u" a sequence of str or None (nulls); `names` None, or a sequence
// of str that the values index (the column is then dictionary-encoded).
// The values are copied: the stream owns everything it hands out.
PyObject* table_stream_call(PyObject* module, PyObject* columns);

}  // namespace zentrail
