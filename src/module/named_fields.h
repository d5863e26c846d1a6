// The fields of a Python object read by name: how every object that crosses
// into the core (a read's request, a grid, time-weighted buckets) is read,
// so that no positional tuple stands between Python and the core.
#pragma once

#include <Python.h>

#include <vector>

#include "module/owned_ref.h"

namespace zentrail {

class NamedFields {
public:
    explicit NamedFields(PyObject* object) : object(object) {}

    // The field, held as long as this is; AttributeError when it is missing.
    PyObject* operator[](const char* name) {
        held.push_back(OwnedRef::checked(PyObject_GetAttrString(object, name)));
        return held.back().get();
    }
    long long integer(const char* name) {
        const long long value = PyLong_AsLongLong((*this)[name]);
        if (value == -1 && PyErr_Occurred()) throw PythonErrorAlreadySet{};
        return value;
    }
    // An int field that may be None, which stands for `none`.
    long long integer_or(const char* name, long long none) {
        PyObject* value = (*this)[name];
        if (value == Py_None) return none;
        const long long got = PyLong_AsLongLong(value);
        if (got == -1 && PyErr_Occurred()) throw PythonErrorAlreadySet{};
        return got;
    }
    unsigned long long mask(const char* name) {
        const unsigned long long value = PyLong_AsUnsignedLongLong((*this)[name]);
        if (PyErr_Occurred()) throw PythonErrorAlreadySet{};
        return value;
    }
    bool truth(const char* name) {
        const int value = PyObject_IsTrue((*this)[name]);
        if (value < 0) throw PythonErrorAlreadySet{};
        return value != 0;
    }

private:
    PyObject* object;
    std::vector<OwnedRef> held;
};

}  // namespace zentrail
