#include "module/column_buffer.h"

#include "module/heap_type.h"

namespace zentrail {

namespace {

struct ColumnBuffer {
    PyObject_HEAD
    std::shared_ptr<const void>* owner;
    void* data;
    Py_ssize_t bytes;
};

PyTypeObject* column_buffer_type = nullptr;

void column_buffer_dealloc(PyObject* self) {
    delete reinterpret_cast<ColumnBuffer*>(self)->owner;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

int column_buffer_get(PyObject* self, Py_buffer* view, int flags) {
    auto* buffer = reinterpret_cast<ColumnBuffer*>(self);
    return PyBuffer_FillInfo(view, self, buffer->data, buffer->bytes, 0, flags);
}

PyType_Slot column_buffer_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(column_buffer_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(column_buffer_get)},
    {Py_tp_doc, const_cast<char*>("The memory of one column of a scan, lent to NumPy.")},
    {0, nullptr},
};

PyType_Spec column_buffer_layout = {"zentrail._core.ColumnBuffer", sizeof(ColumnBuffer), 0,
                                  Py_TPFLAGS_DEFAULT | MODULE_MADE, column_buffer_slots};

}  // namespace

OwnedRef lent_memory(std::shared_ptr<const void> owner, void* data, std::size_t bytes) {
    OwnedRef object = OwnedRef::checked(PyType_GenericAlloc(column_buffer_type, 0));
    auto* buffer = reinterpret_cast<ColumnBuffer*>(object.get());
    buffer->owner = new std::shared_ptr<const void>(std::move(owner));
    // NumPy cannot view a null pointer: an empty column lends a byte that
    // no element covers.
    static unsigned char nothing = 0;
    buffer->data = bytes == 0 ? &nothing : data;
    buffer->bytes = static_cast<Py_ssize_t>(bytes);
    return object;
}

namespace {

// A NumPy array of the given dtype over `bytes` at `data`, owned by `owner`.
OwnedRef numpy_column(PyObject* numpy, std::shared_ptr<const void> owner, void* data, std::size_t bytes,
                      const char* dtype) {
    OwnedRef object = lent_memory(std::move(owner), data, bytes);
    return OwnedRef::checked(PyObject_CallMethod(numpy, "frombuffer", "Os", object.get(), dtype));
}

}  // namespace

bool make_column_buffer_type(PyObject* module) {
    column_buffer_type = make_heap_type(module, &column_buffer_layout);
    return column_buffer_type != nullptr;
}

namespace {

// One column's memory and the owner that keeps it alive.
struct LentColumn {
    std::shared_ptr<const void> owner;
    void* data;
    std::size_t bytes;
};

// A dict of NumPy arrays by column name; column_of(i) lends column i.
template <typename ColumnOf>
OwnedRef columns_as_numpy(PyObject* numpy, const ColumnSelection& selection, ColumnOf&& column_of) {
    OwnedRef columns = OwnedRef::checked(PyDict_New());
    for (std::size_t k = 0; k < selection.count; ++k) {
        const std::size_t i = selection.order[k];
        LentColumn column = column_of(i);
        OwnedRef array = numpy_column(numpy, std::move(column.owner), column.data, column.bytes, COLUMNS[i].numpy_type);
        if (PyDict_SetItemString(columns.get(), COLUMNS[i].name, array.get()) != 0) throw PythonErrorAlreadySet{};
    }
    return columns;
}

}  // namespace

OwnedRef batch_as_numpy(PyObject* numpy, std::unique_ptr<ColumnBatch> batch, const ColumnSelection& selection) {
    std::shared_ptr<ColumnBatch> shared(std::move(batch));
    return columns_as_numpy(numpy, selection, [&](std::size_t i) {
        return LentColumn{shared, const_cast<void*>(shared->column(i)), shared->rows * COLUMNS[i].width};
    });
}

OwnedRef store_as_numpy(PyObject* numpy, const ColumnStore& store, const ColumnSelection& selection) {
    return columns_as_numpy(numpy, selection, [&](std::size_t i) {
        std::shared_ptr<GrowableRegion> region = store.column(i);
        return LentColumn{region, region->data(), region->size()};
    });
}

}  // namespace zentrail
