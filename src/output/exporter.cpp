#include "output/exporter.h"

#include <stdexcept>

#include "module/owned_ref.h"

namespace zentrail {

void Exporter::export_value(ACI_WITH_DATE* item) {
    ArchiveRow row = _parseArchiveItem(item);
    if (!filter->hasDate(row.datetime)) return;
    int32_t type = row.get_JSON_data_type();
    if (type == ROW_TEXT) {
        _append_tuple(row, PyUnicode_FromString(row.get_string()));
        return;
    }
    if (type == ROW_NO_VALUE) return;
    const int id = static_cast<int>(row.id);
    for (int n = row.element_count - 1; n >= 0; --n) {
        if (!filter->hasIndex(id, n)) continue;
        int p = row.element_count - 1 - n;
        switch (type) {
            case ROW_BOOL: _append_tuple(row, PyLong_FromLong(row.get_bool(p) ? 1 : 0)); break;
            case ROW_INT: _append_tuple(row, PyLong_FromLong(row.get_int(p))); break;
            case ROW_DOUBLE: _append_tuple(row, PyFloat_FromDouble(row.get_double(p))); break;
            default: throw std::logic_error("Not implemented!");
        }
    }
}

// Takes over the new reference `value` (which may be null from a failed
// call).
void Exporter::_append_tuple(const ArchiveRow& row, PyObject* value) {
    OwnedRef owned_value = OwnedRef::checked(value);
    const ADATETIME& t = row.datetime;
    const long milliseconds = static_cast<long>(static_cast<double>(t.nanos) * 1e-6);
    OwnedRef tuple = OwnedRef::checked(PyTuple_New(12));
    const long numbers[7] = {t.year, t.month, t.day, t.hour, t.minute, t.second, milliseconds};
    for (Py_ssize_t i = 0; i < 7; ++i) {
        PyTuple_SET_ITEM(tuple.get(), i, OwnedRef::checked(PyLong_FromLong(numbers[i])).release());
    }
    PyTuple_SET_ITEM(tuple.get(), 7, owned_value.release());
    PyTuple_SET_ITEM(tuple.get(), 8, OwnedRef::new_reference(Py_None).release());
    PyTuple_SET_ITEM(tuple.get(), 9, OwnedRef::new_reference(Py_None).release());
    PyTuple_SET_ITEM(tuple.get(), 10, OwnedRef::checked(PyLong_FromLong(1)).release());
    PyTuple_SET_ITEM(tuple.get(), 11, OwnedRef::checked(PyLong_FromLong(static_cast<long>(row.id))).release());
    if (PyList_Append(list, tuple.get()) != 0) throw PythonErrorAlreadySet{};
}

}  // namespace zentrail
