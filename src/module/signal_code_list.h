// The signal codes of zentrail.read's Python list, into its Filter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "selection/filter.h"

namespace zentrail {

// Copies the int elements of `signals` (borrowed; reference counts are left
// as they were) into `filter`, in list order. Every element is visited; the
// first problem in list order is raised as a Python exception and reported
// by throwing PythonErrorAlreadySet:
//   - `signals` not a list: TypeError;
//   - an element that is not an int (the filter is then invalid): TypeError
//     naming its position and type;
//   - an int outside the signed 64-bit range: OverflowError.
// An int is cut to its low 32 bits, as codes are 32-bit.
void add_signal_codes(Filter* filter, PyObject* signals);

}  // namespace zentrail
