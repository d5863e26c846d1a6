#include "module/label_call.h"

#include <cstring>
#include <memory>
#include <vector>

#include "module/errors.h"
#include "module/gil.h"
#include "module/owned_ref.h"
#include "scan/code_labels.h"

namespace zentrail {

namespace {

[[noreturn]] void fail() { throw PythonErrorAlreadySet{}; }

// A buffer held for the call, of items of `item_size` bytes and NumPy format `format`.
class HeldArray {
public:
    HeldArray(PyObject* object, const char* format, std::size_t item_size, bool writable, const char* what) {
        const int flags = PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(object, &view, flags) != 0) fail();
        held = true;
        if (static_cast<std::size_t>(view.itemsize) != item_size || view.format == nullptr ||
            std::strcmp(view.format, format) != 0) {
            PyErr_Format(PyExc_TypeError, "%s must be an array of format '%s', not '%s'", what, format,
                         view.format == nullptr ? "B" : view.format);
            fail();
        }
    }
    ~HeldArray() {
        if (held) PyBuffer_Release(&view);
    }
    HeldArray(const HeldArray&) = delete;
    HeldArray& operator=(const HeldArray&) = delete;
    std::size_t size() const { return static_cast<std::size_t>(view.len) / static_cast<std::size_t>(view.itemsize); }
    template <typename T>
    T* data() const {
        return static_cast<T*>(view.buf);
    }

private:
    Py_buffer view{};
    bool held = false;
};

PyObject* label_indices(PyObject* args) {
    PyObject* ids_object = nullptr;
    PyObject* elements_object = nullptr;
    PyObject* slot_object = nullptr;
    PyObject* tables_object = nullptr;
    PyObject* outs_object = nullptr;
    if (!PyArg_ParseTuple(args, "OOOO!O!", &ids_object, &elements_object, &slot_object, &PyTuple_Type,
                          &tables_object, &PyTuple_Type, &outs_object)) {
        return nullptr;
    }
    const HeldArray ids(ids_object, "H", 2, false, "signal_id");
    const HeldArray elements(elements_object, "H", 2, false, "element");
    const HeldArray slot(slot_object, "i", 4, false, "slot");
    const std::size_t rows = ids.size();
    if (elements.size() != rows || slot.size() != 65536) {
        PyErr_SetString(PyExc_ValueError, "signal_id and element must be as long, and slot 65,536 long");
        fail();
    }
    const Py_ssize_t count = PyTuple_GET_SIZE(tables_object);
    if (PyTuple_GET_SIZE(outs_object) != count) {
        PyErr_SetString(PyExc_ValueError, "one output per table");
        fail();
    }
    std::vector<std::unique_ptr<HeldArray>> held;
    std::vector<LabelTable> tables;
    for (Py_ssize_t t = 0; t < count; ++t) {
        held.push_back(std::make_unique<HeldArray>(PyTuple_GET_ITEM(tables_object, t), "i", 4, false, "a table"));
        const HeldArray& table = *held.back();
        held.push_back(std::make_unique<HeldArray>(PyTuple_GET_ITEM(outs_object, t), "i", 4, true, "an output"));
        const HeldArray& out = *held.back();
        if (out.size() != rows) {
            PyErr_SetString(PyExc_ValueError, "each output must be as long as signal_id");
            fail();
        }
        tables.push_back(LabelTable{table.data<int32_t>(), table.size(), out.data<int32_t>()});
    }
    const bool fitted = without_gil([&] {
        return label_rows(ids.data<uint16_t>(), elements.data<uint16_t>(), rows, slot.data<int32_t>(), tables.data(),
                          tables.size());
    });
    if (!fitted) {
        PyErr_SetString(PyExc_ValueError, "a row's place lies outside a table: the tables do not fit the slots");
        fail();
    }
    Py_RETURN_NONE;
}

}  // namespace

PyObject* label_indices_call(PyObject* /*module*/, PyObject* args) {
    return guarded([&] { return label_indices(args); });
}

}  // namespace zentrail
