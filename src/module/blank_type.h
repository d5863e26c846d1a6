// A static type object with every slot empty, for the types of this module
// to fill in the slots they use.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

namespace zentrail {

inline PyTypeObject blank_type() {
    PyTypeObject type;
    std::memset(&type, 0, sizeof type);
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
    return type;
}

}  // namespace zentrail
