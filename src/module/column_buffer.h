// A Python object that lends one column's memory through the buffer
// protocol, so that NumPy wraps it without a copy; it keeps the memory's
// owner alive for as long as any array views it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <memory>

#include "module/owned_ref.h"
#include "scan/column_batch.h"

namespace zentrail {

extern PyTypeObject ColumnBufferType;

// A NumPy array of the given dtype over `bytes` at `data`, owned by `owner`.
OwnedRef numpy_column(PyObject* numpy, std::shared_ptr<const void> owner, void* data, std::size_t bytes,
                      const char* dtype);

// The batch as a dict of NumPy arrays, one per column, none copied.
OwnedRef batch_as_numpy(PyObject* numpy, std::unique_ptr<ColumnBatch> batch);

}  // namespace zentrail
