#include "module/run_loop.h"

#include <string>

#include "module/owned_ref.h"
#include "scan/arrow_stream.h"

namespace zentrail {

namespace {

// Let through, a StopIteration would end a for loop over the read as if it
// were complete: it becomes a RuntimeError, as it does when it leaves a
// generator, with the StopIteration as its cause.
void replace_stop_iteration() {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    PyErr_SetString(PyExc_RuntimeError, "the progress callable raised StopIteration");
    PyObject *new_type, *new_value, *new_traceback;
    PyErr_Fetch(&new_type, &new_value, &new_traceback);
    PyErr_NormalizeException(&new_type, &new_value, &new_traceback);
    Py_INCREF(value);
    PyException_SetCause(new_value, value);    // steals a reference
    PyException_SetContext(new_value, value);  // steals the other
    PyErr_Restore(new_type, new_value, new_traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
}

}  // namespace

void RunLoop::report(int64_t done, bool final) {
    if (progress == nullptr) return;
    const auto now = std::chrono::steady_clock::now();
    if (!final && now - last_report < PROGRESS_INTERVAL) return;
    last_report = now;
    // The files may have grown since they were measured: never past the total.
    OwnedRef result = OwnedRef::steal(PyObject_CallFunction(progress, "LL", static_cast<long long>(final ? total : done),
                                                            static_cast<long long>(total)));
    if (!result) {
        replace_stop_iteration();
        throw PythonErrorAlreadySet{};
    }
}

std::function<void()> RunLoop::stream_signal_check() {
    OwnedRef threading = OwnedRef::checked(PyImport_ImportModule("threading"));
    OwnedRef main = OwnedRef::checked(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    OwnedRef ident = OwnedRef::checked(PyObject_GetAttrString(main.get(), "ident"));
    const unsigned long main_ident = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred()) throw PythonErrorAlreadySet{};
    return [main_ident] {
        if (PyThread_get_thread_ident() != main_ident || !Py_IsInitialized()) return;
        std::string failure;
        const PyGILState_STATE gil = PyGILState_Ensure();
        if (PyErr_CheckSignals() != 0) {
            if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
                PyErr_Clear();
                PyErr_SetInterrupt();
                failure = "KeyboardInterrupt: the read was interrupted";
            } else {
                PyObject *type, *value, *traceback;
                PyErr_Fetch(&type, &value, &traceback);
                OwnedRef text = OwnedRef::steal(value != nullptr ? PyObject_Repr(value) : nullptr);
                const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
                failure = std::string("a signal handler raised ") + (utf8 != nullptr ? utf8 : "an exception");
                PyErr_Clear();
                Py_XDECREF(type);
                Py_XDECREF(value);
                Py_XDECREF(traceback);
            }
        }
        PyGILState_Release(gil);
        if (!failure.empty()) throw StreamStopped(failure);
    };
}

}  // namespace zentrail
