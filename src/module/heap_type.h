// Making the module's types at import, as heap types owned by the module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zentrail {

// Types that only the module makes: Python code cannot instantiate them.
#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
constexpr unsigned int MODULE_MADE = static_cast<unsigned int>(Py_TPFLAGS_DISALLOW_INSTANTIATION);
#else
constexpr unsigned int MODULE_MADE = 0;
#endif

// The type that `layout` describes, or null with an exception set.
inline PyTypeObject* make_heap_type(PyObject* module, PyType_Spec* layout) {
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, layout, nullptr));
#ifndef Py_TPFLAGS_DISALLOW_INSTANTIATION
    if (type != nullptr) {
        type->tp_new = nullptr;  // what the flag does from Python 3.10 on
        PyType_Modified(type);
    }
#endif
    return type;
}

}  // namespace zentrail
