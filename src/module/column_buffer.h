// A Python object that lends one column's memory through the buffer
// protocol, so that NumPy wraps it without a copy; it keeps the memory's
// owner alive for as long as any array views it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "module/owned_ref.h"
#include "scan/column_batch.h"
#include "scan/column_store.h"
#include "scan/row_predicate.h"

namespace zentrail {

// Makes the type; called once, by the module's initialisation.
bool make_column_buffer_type(PyObject* module);

// The batch as a dict of NumPy arrays, one per selected column, none copied.
OwnedRef batch_as_numpy(PyObject* numpy, std::unique_ptr<ColumnBatch> batch,
                        const ColumnSelection& columns = ColumnSelection());
// An object lending `bytes` bytes at `data` through the buffer protocol
// (numpy.frombuffer views it without a copy), keeping `owner` alive.
OwnedRef lent_memory(std::shared_ptr<const void> owner, void* data, std::size_t bytes);
// An object lending `values` so; it owns them.
template <typename T>
OwnedRef lent_values(std::vector<T> values) {
    auto owner = std::make_shared<std::vector<T>>(std::move(values));
    return lent_memory(owner, owner->data(), owner->size() * sizeof(T));
}
inline OwnedRef lent_bytes(std::vector<uint8_t> bytes) { return lent_values(std::move(bytes)); }
// The store's selected columns as a dict of NumPy arrays, none copied.
OwnedRef store_as_numpy(PyObject* numpy, const ColumnStore& store, const ColumnSelection& columns = ColumnSelection());

}  // namespace zentrail
