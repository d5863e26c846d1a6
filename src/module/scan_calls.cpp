#include "module/scan_calls.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <system_error>
#include <memory>
#include <optional>
#include <utility>

#include "module/arrow_capsules.h"
#include "module/column_buffer.h"
#include "module/errors.h"
#include "module/heap_type.h"
#include "module/owned_ref.h"
#include "module/scan_request.h"
#include "module/run_loop.h"
#include "module/scan_run.h"
#include "scan/arrow_export.h"
#include "scan/arrow_stream.h"
#include "scan/column_store.h"

namespace zentrail {

namespace {

OwnedRef import_numpy() { return OwnedRef::checked(PyImport_ImportModule("numpy")); }

// One read, batch by batch. The run is used by one caller at a time: next()
// releases the interpreter lock while it waits, and a second caller (another
// thread, or the progress callable of the first) is refused rather than let
// into a run that is moving. A child process forked during a read inherits
// the run without its worker threads: it may neither use nor end it.
struct ScanIterator {
    PyObject_HEAD
    ScanRun* run;        // null once the iteration has ended
    PyObject* numpy;
    PyObject* progress;  // a callable, or null
    ColumnSelection columns;
    pid_t owner;         // the process whose threads serve the run
    bool busy;
};

PyTypeObject* scan_iterator_type = nullptr;

void end_run(ScanIterator* it) {
    ScanRun* run = std::exchange(it->run, nullptr);
    // In a forked child the workers do not exist: joining them would wait for
    // ever, so the run's memory is left to the child's exit.
    if (run != nullptr && it->owner == ::getpid()) delete run;
}

int iterator_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* it = reinterpret_cast<ScanIterator*>(self);
    Py_VISIT(it->numpy);
    Py_VISIT(it->progress);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int iterator_clear(PyObject* self) {
    auto* it = reinterpret_cast<ScanIterator*>(self);
    Py_CLEAR(it->numpy);
    Py_CLEAR(it->progress);
    return 0;
}

void iterator_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    auto* it = reinterpret_cast<ScanIterator*>(self);
    end_run(it);
    iterator_clear(self);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* iterator_next(PyObject* self) {
    auto* it = reinterpret_cast<ScanIterator*>(self);
    if (it->run == nullptr) return nullptr;
    if (it->owner != ::getpid()) {
        PyErr_SetString(PyExc_RuntimeError,
                        "this scan's read was started in another process, before a fork; iterate the Scan "
                        "afresh in this one");
        return nullptr;
    }
    if (it->busy) {
        PyErr_SetString(PyExc_RuntimeError,
                        "this scan iterator is already being advanced (by another thread, or from its own progress "
                        "callable); one iterator serves one consumer at a time");
        return nullptr;
    }
    it->busy = true;
    PyObject* batch = guarded([&]() -> PyObject* {
        // Held for the call: the collector may clear the iterator's own
        // references while the lock is released.
        OwnedRef progress = OwnedRef::new_reference(it->progress);
        try {
            std::unique_ptr<ColumnBatch> next = it->run->next(progress.get());
            if (!next) {
                end_run(it);
                return nullptr;
            }
            OwnedRef numpy = it->numpy != nullptr ? OwnedRef::new_reference(it->numpy) : import_numpy();
            return batch_as_numpy(numpy.get(), std::move(next), it->columns).release();
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            // A failure ends the iteration; the workers stop before it is raised.
            end_run(it);
            throw;
        }
    });
    it->busy = false;
    return batch;
}

PyType_Slot scan_iterator_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(iterator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(iterator_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {Py_tp_doc, const_cast<char*>("One read of a zentrail.Scan, batch by batch.")},
    {0, nullptr},
};

PyType_Spec scan_iterator_layout = {"zentrail._core.ScanIterator", sizeof(ScanIterator), 0,
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | MODULE_MADE, scan_iterator_slots};


// The columns of a consumer's requested schema (a capsule "arrow_schema"),
// or ValueError saying what a scan cannot give.
ColumnSelection requested_columns(PyObject* capsule) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (schema == nullptr) throw PythonErrorAlreadySet{};
    try {
        return selection_from_schema(*schema);
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
        throw PythonErrorAlreadySet{};
    }
}

PyObject* stream_capsule(StreamPlan plan) {
    auto stream = std::make_unique<ArrowArrayStream>();
    export_read_stream(std::move(plan), stream.get());
    return arrow_capsule(std::move(stream));
}

OwnedRef decoded_path(const std::string& path) {
    return OwnedRef::checked(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

}  // namespace

bool make_scan_types(PyObject* module) {
    if (!make_column_buffer_type(module)) return false;
    scan_iterator_type = make_heap_type(module, &scan_iterator_layout);
    if (scan_iterator_type == nullptr) return false;
    Py_INCREF(scan_iterator_type);
    if (PyModule_AddObject(module, "ScanIterator", reinterpret_cast<PyObject*>(scan_iterator_type)) < 0) {
        Py_DECREF(scan_iterator_type);
        return false;
    }
    return true;
}

namespace {

// The request of a NumPy consumer: the name columns are the Arrow stream's
// alone (the Python layer makes them for NumPy from the codes).
ScanRequest numpy_request_from(PyObject* object) {
    ScanRequest request = scan_request_from(object);
    if (request.columns.has_names()) {
        PyErr_SetString(PyExc_ValueError, "the name columns come only through the Arrow stream");
        throw PythonErrorAlreadySet{};
    }
    return request;
}

}  // namespace

PyObject* scan_iterate(PyObject*, PyObject* request_object) {
    return guarded([&] {
        const ScanRequest request = numpy_request_from(request_object);
        OwnedRef numpy = import_numpy();
        auto run = std::make_unique<ScanRun>(read_plan(request));
        OwnedRef object = OwnedRef::checked(PyType_GenericAlloc(scan_iterator_type, 0));
        auto* it = reinterpret_cast<ScanIterator*>(object.get());
        it->run = run.release();
        it->numpy = numpy.release();
        it->progress = OwnedRef::new_reference(request.progress).release();
        it->columns = request.columns;
        it->owner = ::getpid();
        it->busy = false;
        return object.release();
    });
}

PyObject* scan_to_numpy(PyObject*, PyObject* request_object) {
    return guarded([&] {
        const ScanRequest request = numpy_request_from(request_object);
        OwnedRef numpy = import_numpy();
        ColumnStore store;
        {
            ScanRun run(read_plan(request));
            while (std::unique_ptr<ColumnBatch> batch = run.next(request.progress)) {
                store.append(*batch, request.columns);
                run.recycle(std::move(batch));
            }
        }
        return store_as_numpy(numpy.get(), store, request.columns).release();
    });
}

PyObject* scan_arrow_stream(PyObject*, PyObject* args) {
    PyObject *request_object, *requested;
    if (!PyArg_ParseTuple(args, "OO:arrow_stream", &request_object, &requested)) return nullptr;
    return guarded([&] {
        ScanRequest request = scan_request_from(request_object);
        if (requested != Py_None) request.columns = requested_columns(requested);
        StreamPlan plan;
        static_cast<ReadPlan&>(plan) = read_plan(request);
        plan.on_wait = RunLoop::stream_signal_check();
        return stream_capsule(std::move(plan));
    });
}

PyObject* scan_arrow_schema(PyObject*, PyObject* args) {
    PyObject* columns = nullptr;
    if (!PyArg_ParseTuple(args, "O!:arrow_schema", &PyTuple_Type, &columns)) return nullptr;
    return guarded([&] {
        const ColumnSelection selection = columns_from(columns);
        auto schema = std::make_unique<ArrowSchema>();
        export_schema(schema.get(), selection);
        return arrow_capsule(std::move(schema));
    });
}

PyObject* find_files(PyObject*, PyObject* request_object) {
    return guarded([&] {
        const ScanRequest request = scan_request_from(request_object);
        OwnedRef list = OwnedRef::checked(PyList_New(0));
        for (const std::string& path : files_of(request)) {
            if (PyList_Append(list.get(), decoded_path(path).get()) != 0) throw PythonErrorAlreadySet{};
        }
        return list.release();
    });
}

PyObject* parse_bound_text(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        if (!PyUnicode_Check(arg)) {
            PyErr_Format(PyExc_TypeError, "a bound text must be a str, not %.200s", Py_TYPE(arg)->tp_name);
            return nullptr;
        }
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(arg, &size);
        if (text == nullptr) PyErr_Clear();
        const std::optional<BoundSpec> bound =
            text != nullptr && std::strlen(text) == static_cast<std::size_t>(size) ? parse_bound(text) : std::nullopt;
        if (!bound) {
            PyErr_Format(PyExc_ValueError,
                         "%R is not a date and time of the form YYYY-MM-DD, YYYY-MM-DD hh:mm, "
                         "YYYY-MM-DD hh:mm:ss or YYYY-MM-DD hh:mm:ss.fffffffff (a \"T\" may stand for the space; "
                         "no time zone; every field in range)",
                         arg);
            return nullptr;
        }
        return Py_BuildValue("(iiiLL)", bound->year, bound->month, bound->day, static_cast<long long>(bound->ns_of_day),
                             static_cast<long long>(bound->unit_ns));
    });
}

PyObject* columns_tuple() {
    return guarded([&] {
        OwnedRef table = OwnedRef::checked(PyTuple_New(static_cast<Py_ssize_t>(COLUMN_COUNT)));
        for (std::size_t i = 0; i < COLUMN_COUNT; ++i) {
            PyObject* row = Py_BuildValue("(ss)", COLUMNS[i].name, COLUMNS[i].numpy_type);
            if (row == nullptr) throw PythonErrorAlreadySet{};
            PyTuple_SET_ITEM(table.get(), static_cast<Py_ssize_t>(i), row);
        }
        return table.release();
    });
}

PyObject* name_columns_tuple() {
    return guarded([&] {
        OwnedRef names = OwnedRef::checked(PyTuple_New(static_cast<Py_ssize_t>(NAME_COLUMN_COUNT)));
        for (std::size_t i = 0; i < NAME_COLUMN_COUNT; ++i) {
            PyObject* name = PyUnicode_FromString(NAME_COLUMNS[i]);
            if (name == nullptr) throw PythonErrorAlreadySet{};
            PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
        }
        return names.release();
    });
}

}  // namespace zentrail
