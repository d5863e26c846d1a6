// Ownership of CPython references, so that every path of a call releases
// what it made without hand-written cleanup.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace zentrail {

// A C++ exception meaning "a Python exception is already set": thrown where
// a CPython call failed, passed through the C++ code, and turned back into
// the pending Python error at the module boundary.
struct PythonErrorAlreadySet {};

// Holds one strong reference. steal() adopts a new reference (the result of
// a CPython call that returns one); new_reference() takes an extra reference
// to a borrowed object; release() hands the reference on (for example to a
// tuple slot, which steals it).
class OwnedRef {
public:
    OwnedRef() = default;
    static OwnedRef steal(PyObject* object) { return OwnedRef(object); }
    static OwnedRef new_reference(PyObject* object) {
        Py_XINCREF(object);
        return OwnedRef(object);
    }
    // Adopts the result of a CPython call, throwing if the call failed.
    static OwnedRef checked(PyObject* object) {
        if (object == nullptr) throw PythonErrorAlreadySet{};
        return OwnedRef(object);
    }

    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&& other) noexcept : object(std::exchange(other.object, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object);
            object = std::exchange(other.object, nullptr);
        }
        return *this;
    }
    ~OwnedRef() { Py_XDECREF(object); }

    PyObject* get() const { return object; }
    PyObject* release() { return std::exchange(object, nullptr); }
    explicit operator bool() const { return object != nullptr; }

private:
    explicit OwnedRef(PyObject* adopted) : object(adopted) {}
    PyObject* object = nullptr;
};

}  // namespace zentrail
