// A read handed to Python batch by batch: the one iterator type behind a
// scan's and an events read's iteration.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

namespace zentrail {

// What an iterator advances. Holds no Python object of its own: the
// iterator holds the callables and passes them in.
class BatchRead {
public:
    virtual ~BatchRead() = default;
    // The next batch as a new reference, or null at the end with no error
    // set. Called with the interpreter lock held (it may release it while it
    // waits); throws as guarded() expects.
    virtual PyObject* next(PyObject* progress, PyObject* damaged) = 0;
};

bool make_read_iterator_type(PyObject* module);

// A new iterator owning `read`. `progress` and `damaged` (callables, or
// null) are borrowed and kept; `what` ("scan's read", "read of events")
// names the read in the iterator's refusals and must outlive it (a literal).
PyObject* new_read_iterator(std::unique_ptr<BatchRead> read, PyObject* progress, PyObject* damaged,
                            const char* what);

}  // namespace zentrail
