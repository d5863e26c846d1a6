#include "module/signal_code_list.h"

#include <cstdint>
#include <cstring>

#include "module/owned_ref.h"

namespace zentrail {

namespace {

struct ListProblem {
    PyObject* exception_type = nullptr;  // none yet
    Py_ssize_t position = 0;
    const char* element_type = nullptr;
};

int32_t low_32_bits(long long value) {
    auto bits = static_cast<uint32_t>(static_cast<unsigned long long>(value));
    int32_t code;
    std::memcpy(&code, &bits, sizeof code);
    return code;
}

}  // namespace

void add_signal_codes(Filter* filter, PyObject* signals) {
    if (!PyList_Check(signals)) {
        PyErr_Format(PyExc_TypeError, "signals must be a list of int signal codes, not %.200s",
                     Py_TYPE(signals)->tp_name);
        throw PythonErrorAlreadySet{};
    }
    ListProblem problem;
    // Converting an int runs no Python code, so the list cannot change
    // under the loop and its items may stay borrowed.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(signals); ++i) {
        PyObject* element = PyList_GET_ITEM(signals, i);
        if (!PyLong_Check(element)) {
            filter->invalidate();
            if (!problem.exception_type) problem = {PyExc_TypeError, i, Py_TYPE(element)->tp_name};
            continue;
        }
        long long value = PyLong_AsLongLong(element);
        if (value == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            if (!problem.exception_type) problem = {PyExc_OverflowError, i, nullptr};
        }
        filter->addId(low_32_bits(value));
    }
    if (problem.exception_type == PyExc_TypeError) {
        PyErr_Format(PyExc_TypeError, "signals[%zd] is a %.200s, not an int signal code", problem.position,
                     problem.element_type);
        throw PythonErrorAlreadySet{};
    }
    if (problem.exception_type == PyExc_OverflowError) {
        PyErr_Format(PyExc_OverflowError, "signals[%zd] does not fit in a signed 64-bit integer",
                     problem.position);
        throw PythonErrorAlreadySet{};
    }
}

}  // namespace zentrail
