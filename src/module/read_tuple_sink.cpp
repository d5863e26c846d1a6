#include "module/read_tuple_sink.h"

#include "output/selected_values.h"

namespace zentrail {

namespace {

// A value as Python sees it: a bool as the int 0 or 1. Each returns a new
// reference, or null with the error set.
PyObject* python_value(bool value) { return PyLong_FromLong(value ? 1 : 0); }
PyObject* python_value(int32_t value) { return PyLong_FromLong(value); }
PyObject* python_value(double value) { return PyFloat_FromDouble(value); }

}  // namespace

void ReadTupleSink::export_value(ACI_WITH_DATE* item) {
    // The row's calendar breakdown is made only for an item in the window.
    if (!filter->has_instant(item_timestamp(item))) return;
    const ArchiveRow row = build_value_row(item);
    for_each_selected_value(
        item, *filter, [&] { _append_tuple(row, PyUnicode_FromString(row.get_string())); },
        [&](int /*n*/, int p) { row.visit_value(p, [&](auto value) { _append_tuple(row, python_value(value)); }); });
}

PyObject* ReadTupleSink::_shared_int(OwnedRef* slot, long value) {
    if (!*slot) *slot = OwnedRef::checked(PyLong_FromLong(value));
    return OwnedRef::new_reference(slot->get()).release();
}

PyObject* ReadTupleSink::_year(int32_t year) {
    if (year != year_value) {
        year_object = OwnedRef();
        year_value = year;
    }
    return _shared_int(&year_object, year);
}

PyObject* ReadTupleSink::_small_int(long value) {
    if (value < 0 || value >= static_cast<long>(small_ints.size())) return PyLong_FromLong(value);
    return _shared_int(&small_ints[static_cast<std::size_t>(value)], value);
}

PyObject* ReadTupleSink::_id(uint32_t id) {
    if (id != id_value) {
        id_object = OwnedRef();
        id_value = id;
    }
    return _shared_int(&id_object, static_cast<long>(id));
}

// Takes over the new reference `value` (which may be null from a failed
// call).
void ReadTupleSink::_append_tuple(const ArchiveRow& row, PyObject* value) {
    OwnedRef owned_value = OwnedRef::checked(value);
    const ADATETIME& t = row.datetime;
    const long milliseconds = static_cast<long>(static_cast<double>(t.nanos) * 1e-6);
    OwnedRef tuple = OwnedRef::checked(PyTuple_New(12));
    // Each new reference goes into its slot at once: the tuple owns it.
    auto put = [&tuple](Py_ssize_t slot, PyObject* object) {
        if (object == nullptr) throw PythonErrorAlreadySet{};
        PyTuple_SET_ITEM(tuple.get(), slot, object);
    };
    put(7, owned_value.release());
    put(0, _year(t.year));
    put(1, _small_int(t.month));
    put(2, _small_int(t.day));
    put(3, _small_int(t.hour));
    put(4, _small_int(t.minute));
    put(5, _small_int(t.second));
    put(6, _small_int(milliseconds));
    put(8, OwnedRef::new_reference(Py_None).release());
    put(9, OwnedRef::new_reference(Py_None).release());
    put(10, _small_int(1));
    put(11, _id(row.id));
    // Ints, floats, strings and None cannot form a reference cycle, so the
    // collector need not track the tuple (it would untrack it itself on its
    // first pass over it): millions of rows then cost it nothing.
    PyObject_GC_UnTrack(tuple.get());
    if (PyList_Append(list, tuple.get()) != 0) throw PythonErrorAlreadySet{};
}

}  // namespace zentrail
