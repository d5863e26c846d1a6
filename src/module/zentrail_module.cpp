// The zentrail module: one function, read.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "module/read_call.h"
#include "module/scan_object.h"

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
    {"scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(zentrail::scan_function)),
     METH_VARARGS | METH_KEYWORDS,
     "scan($module, /, root_dir, dt_start, dt_end, signals, *, threads=None, batch_rows=None, progress=None)\n--\n\n"
     "A columnar read of the archive files under root_dir: the rows read() gives, as\n"
     "NumPy, pandas or Arrow columns, decoded on several threads. Returns a zentrail.Scan;\n"
     "nothing is read until it is consumed. See the type stub or README for details."},
    {"scan_files", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(zentrail::scan_files_function)),
     METH_VARARGS | METH_KEYWORDS,
     "scan_files($module, /, paths, dt_start, dt_end, signals, *, threads=None, batch_rows=None, progress=None)\n--\n\n"
     "A Scan over an explicit, ordered list of archive files, each read as scan reads a\n"
     "file it found (for example one day file per Dask partition)."},
    {"find_files", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(zentrail::find_files_function)),
     METH_VARARGS | METH_KEYWORDS,
     "find_files($module, /, root_dir, dt_start, dt_end)\n--\n\n"
     "The archive files that read and scan would read, in the order they read them."},
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

PyMODINIT_FUNC PyInit_zentrail(void) {
    PyObject* module = PyModule_Create2(&zentrail_module, PYTHON_API_VERSION);
    if (module == nullptr) return nullptr;
    if (!zentrail::ready_scan_types(module)) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
