// The zentrail module: one function, read.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "module/read_call.h"

namespace {

PyObject* read(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"root_dir", "dt_start", "dt_end", "signals", nullptr};
    const char* root_dir = nullptr;
    const char* dt_start = nullptr;
    const char* dt_end = nullptr;
    PyObject* signals = nullptr;  // borrowed
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sssO", const_cast<char**>(keywords), &root_dir, &dt_start,
                                     &dt_end, &signals)) {
        return nullptr;
    }
    // The one place where C++ failures become Python exceptions.
    try {
        return zentrail::read_archives(root_dir, dt_start, dt_end, signals);
    } catch (...) {
        zentrail::raise_current_exception_in_python();
        return nullptr;
    }
}

PyMethodDef zentrail_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(read)), METH_VARARGS | METH_KEYWORDS,
     // The signature line gives read a __text_signature__ for help() and
     // inspect; __doc__ is the text after it.
     "read($module, /, root_dir, dt_start, dt_end, signals)\n--\n\n"
     "Python interface for zentrail C++ library function"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef zentrail_module = {
    PyModuleDef_HEAD_INIT,
    "zentrail",
    "Python interface for the zentrail C++ library function",
    -1,
    zentrail_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_zentrail(void) { return PyModule_Create2(&zentrail_module, PYTHON_API_VERSION); }
