#include "module/column_buffer.h"

#include <new>

#include "module/blank_type.h"

namespace zentrail {

namespace {

struct ColumnBuffer {
    PyObject_HEAD
    std::shared_ptr<const void>* owner;
    void* data;
    Py_ssize_t bytes;
};

void column_buffer_dealloc(PyObject* self) {
    delete reinterpret_cast<ColumnBuffer*>(self)->owner;
    Py_TYPE(self)->tp_free(self);
}

int column_buffer_get(PyObject* self, Py_buffer* view, int flags) {
    auto* buffer = reinterpret_cast<ColumnBuffer*>(self);
    return PyBuffer_FillInfo(view, self, buffer->data, buffer->bytes, 0, flags);
}

PyBufferProcs column_buffer_procs = {column_buffer_get, nullptr};

}  // namespace

PyTypeObject ColumnBufferType = [] {
    PyTypeObject type = blank_type();
    type.tp_name = "zentrail._ColumnBuffer";
    type.tp_basicsize = sizeof(ColumnBuffer);
    type.tp_dealloc = column_buffer_dealloc;
    type.tp_as_buffer = &column_buffer_procs;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc = "The memory of one column of a scan, lent to NumPy.";
    return type;
}();

OwnedRef numpy_column(PyObject* numpy, std::shared_ptr<const void> owner, void* data, std::size_t bytes,
                      const char* dtype) {
    OwnedRef object = OwnedRef::checked(PyType_GenericAlloc(&ColumnBufferType, 0));
    auto* buffer = reinterpret_cast<ColumnBuffer*>(object.get());
    buffer->owner = new std::shared_ptr<const void>(std::move(owner));
    // NumPy cannot view a null pointer: an empty column lends a byte that
    // no element covers.
    static unsigned char nothing = 0;
    buffer->data = bytes == 0 ? &nothing : data;
    buffer->bytes = static_cast<Py_ssize_t>(bytes);
    return OwnedRef::checked(PyObject_CallMethod(numpy, "frombuffer", "Os", object.get(), dtype));
}

OwnedRef batch_as_numpy(PyObject* numpy, std::unique_ptr<ColumnBatch> batch) {
    std::shared_ptr<ColumnBatch> shared(std::move(batch));
    OwnedRef columns = OwnedRef::checked(PyDict_New());
    for (std::size_t i = 0; i < COLUMN_COUNT; ++i) {
        OwnedRef array = numpy_column(numpy, shared, const_cast<void*>(shared->column(i)),
                                      shared->rows * COLUMNS[i].width, COLUMNS[i].numpy_type);
        if (PyDict_SetItemString(columns.get(), COLUMNS[i].name, array.get()) != 0) throw PythonErrorAlreadySet{};
    }
    return columns;
}

}  // namespace zentrail
