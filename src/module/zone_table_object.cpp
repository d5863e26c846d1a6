#include "module/zone_table_object.h"

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "module/errors.h"
#include "module/heap_type.h"
#include "module/owned_ref.h"
#include "scan/arrow_export.h"
#include "scan/column_batch.h"

namespace zentrail {

namespace {

struct ZoneTableObject {
    PyObject_HEAD
    ReadZone* zone;
};

PyTypeObject* zone_table_type = nullptr;

[[noreturn]] void fail() { throw PythonErrorAlreadySet{}; }

const ReadZone& zone_of(PyObject* self) { return *reinterpret_cast<ZoneTableObject*>(self)->zone; }

PyObject* new_table(ReadZone zone) {
    OwnedRef object = OwnedRef::checked(PyType_GenericAlloc(zone_table_type, 0));
    reinterpret_cast<ZoneTableObject*>(object.get())->zone = new ReadZone(std::move(zone));
    return object.release();
}

void zone_table_dealloc(PyObject* self) {
    delete reinterpret_cast<ZoneTableObject*>(self)->zone;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* fresh_method(PyObject* self, PyObject*) {
    return guarded([&] {
        ReadZone zone = zone_of(self);
        zone.counts = std::make_shared<ClockCounts>();
        return new_table(std::move(zone));
    });
}

PyObject* counts_getter(PyObject* self, void*) {
    const ClockCounts& counts = *zone_of(self).counts;
    return Py_BuildValue("(LLL)", static_cast<long long>(counts.guessed.load()),
                         static_cast<long long>(counts.skipped.load()),
                         static_cast<long long>(counts.before_origin.load()));
}

PyMethodDef zone_table_methods[] = {
    {"fresh", fresh_method, METH_NOARGS, "fresh() -> ZoneTable: the same table with counts of its own, for one read."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef zone_table_getset[] = {
    {"counts", counts_getter, nullptr,
     "(guessed, skipped, before_origin): rows of a repeated hour placed without proof, rows of a skipped hour, "
     "rows left out for an instant before 2000-01-01 UTC.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot zone_table_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(zone_table_dealloc)},
    {Py_tp_methods, zone_table_methods},
    {Py_tp_getset, zone_table_getset},
    {Py_tp_doc, const_cast<char*>("A zone's clock changes, by which a read turns wall times into instants.")},
    {0, nullptr},
};

PyType_Spec zone_table_layout = {"zentrail._core.ZoneTable", sizeof(ZoneTableObject), 0,
                                 Py_TPFLAGS_DEFAULT | MODULE_MADE, zone_table_slots};

}  // namespace

PyObject* zone_table_call(PyObject*, PyObject* args) {
    return guarded([&] {
        const char* name = nullptr;
        long long first_offset = 0;
        Py_buffer view;
        if (!PyArg_ParseTuple(args, "sLy*:zone_table", &name, &first_offset, &view)) fail();
        std::vector<int64_t> numbers(static_cast<std::size_t>(view.len) / sizeof(int64_t));
        const bool whole = view.len % static_cast<Py_ssize_t>(3 * sizeof(int64_t)) == 0;
        if (whole && !numbers.empty()) std::memcpy(numbers.data(), view.buf, numbers.size() * sizeof(int64_t));
        PyBuffer_Release(&view);
        if (!whole) {
            PyErr_SetString(PyExc_ValueError, "a zone's changes are int64 triples (instant, before, after)");
            fail();
        }
        std::vector<ClockChange> changes;
        for (std::size_t i = 0; i < numbers.size(); i += 3) {
            const int64_t at = numbers[i] - ARCHIVE_EPOCH_UNIX_NS;
            if (!changes.empty() && at <= changes.back().at) {
                PyErr_SetString(PyExc_ValueError, "a zone's changes must come in the order of their instants");
                fail();
            }
            changes.push_back(ClockChange{at, numbers[i + 1], numbers[i + 2]});
        }
        auto days = std::make_shared<const ZoneDays>(first_offset, std::move(changes));
        return new_table(ReadZone{std::move(days), std::make_shared<ClockCounts>(), name, time_format_of(name)});
    });
}

ReadZone read_zone_of(PyObject* object) {
    if (object == Py_None) return ReadZone{};
    if (Py_TYPE(object) != zone_table_type) {
        PyErr_Format(PyExc_TypeError, "a read's zone must be a ZoneTable or None, not %.200s", Py_TYPE(object)->tp_name);
        fail();
    }
    return zone_of(object);
}

bool make_zone_table_type(PyObject* module) {
    zone_table_type = make_heap_type(module, &zone_table_layout);
    if (zone_table_type == nullptr) return false;
    Py_INCREF(zone_table_type);
    if (PyModule_AddObject(module, "ZoneTable", reinterpret_cast<PyObject*>(zone_table_type)) < 0) {
        Py_DECREF(zone_table_type);
        return false;
    }
    return true;
}

}  // namespace zentrail
