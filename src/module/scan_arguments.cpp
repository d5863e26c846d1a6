#include "module/scan_arguments.h"

#include <datetime.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace zentrail {

namespace {

[[noreturn]] void fail() { throw PythonErrorAlreadySet{}; }

void load_datetime_api() {
    if (PyDateTimeAPI == nullptr) {
        PyDateTime_IMPORT;
        if (PyDateTimeAPI == nullptr) fail();
    }
}

}  // namespace

std::string path_argument(PyObject* path) {
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(path, &converted)) fail();
    OwnedRef bytes = OwnedRef::steal(converted);
    return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

PathList paths_argument(PyObject* paths) {
    if (PyUnicode_Check(paths) || PyBytes_Check(paths)) {
        PyErr_SetString(PyExc_TypeError, "paths must be an iterable of paths, not a single path");
        fail();
    }
    OwnedRef it = OwnedRef::steal(PyObject_GetIter(paths));
    if (!it) {
        PyErr_Format(PyExc_TypeError, "paths must be an iterable of paths, not %.200s", Py_TYPE(paths)->tp_name);
        fail();
    }
    PathList list;
    while (OwnedRef item = OwnedRef::steal(PyIter_Next(it.get()))) list.push_back(path_argument(item.get()));
    if (PyErr_Occurred()) fail();
    return list;
}

std::string bound_argument(PyObject* bound, const char* name, bool is_end) {
    if (PyUnicode_Check(bound)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(bound, &size);
        if (text == nullptr) fail();
        if (std::strlen(text) != static_cast<std::size_t>(size)) {
            PyErr_Format(PyExc_ValueError, "%s contains a NUL character", name);
            fail();
        }
        return std::string(text, static_cast<std::size_t>(size));
    }
    load_datetime_api();
    char text[64];
    if (PyDateTime_Check(bound)) {
        OwnedRef zone = OwnedRef::checked(PyObject_GetAttrString(bound, "tzinfo"));
        if (zone.get() != Py_None) {
            PyErr_Format(PyExc_ValueError, "%s has a time zone; archive times are naive wall-clock times", name);
            fail();
        }
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", PyDateTime_GET_YEAR(bound),
                      PyDateTime_GET_MONTH(bound), PyDateTime_GET_DAY(bound), PyDateTime_DATE_GET_HOUR(bound),
                      PyDateTime_DATE_GET_MINUTE(bound), PyDateTime_DATE_GET_SECOND(bound));
        return text;
    }
    if (PyDate_Check(bound)) {
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %s", PyDateTime_GET_YEAR(bound), PyDateTime_GET_MONTH(bound),
                      PyDateTime_GET_DAY(bound), is_end ? "23:59:59" : "00:00:00");
        return text;
    }
    PyErr_Format(PyExc_TypeError, "%s must be a str, datetime.datetime or datetime.date, not %.200s", name,
                 Py_TYPE(bound)->tp_name);
    fail();
}

std::vector<int32_t> scan_codes_argument(PyObject* signals) {
    OwnedRef it = OwnedRef::steal(PyObject_GetIter(signals));
    if (!it) {
        PyErr_Format(PyExc_TypeError, "signals must be an iterable of int signal codes, not %.200s",
                     Py_TYPE(signals)->tp_name);
        fail();
    }
    std::vector<int32_t> codes;
    Py_ssize_t position = 0;
    for (; OwnedRef item = OwnedRef::steal(PyIter_Next(it.get())); ++position) {
        // Python ints, bools and NumPy integers; not floats, whose __index__
        // is missing on purpose.
        if (!PyIndex_Check(item.get())) {
            PyErr_Format(PyExc_TypeError, "signals[%zd] is a %.200s, not an int signal code", position,
                         Py_TYPE(item.get())->tp_name);
            fail();
        }
        OwnedRef number = OwnedRef::checked(PyNumber_Index(item.get()));
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
        if (value == -1 && PyErr_Occurred()) fail();
        if (overflow != 0 || value < 0 || value > MAX_SCAN_CODE) {
            PyErr_Format(PyExc_ValueError,
                         "signals[%zd] is the code %R, outside 0 to 67108863 (id 0 to 65535, index 0 to 1023)",
                         position, number.get());
            fail();
        }
        codes.push_back(static_cast<int32_t>(value));
    }
    if (PyErr_Occurred()) fail();
    std::sort(codes.begin(), codes.end());
    codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
    return codes;
}

int64_t positive_argument(PyObject* value, const char* name, int64_t fallback) {
    if (value == nullptr || value == Py_None) return fallback;
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be None or an int, not %.200s", name, Py_TYPE(value)->tp_name);
        fail();
    }
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (n == -1 && PyErr_Occurred()) fail();
    if (overflow != 0 || n < 1 || n > (int64_t{1} << 31)) {
        PyErr_Format(PyExc_ValueError, "%s must be at least 1 (and at most 2**31), not %R", name, value);
        fail();
    }
    return n;
}

}  // namespace zentrail
