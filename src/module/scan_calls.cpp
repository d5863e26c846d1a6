#include "module/scan_calls.h"

#include <cerrno>
#include <cstring>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <memory>
#include <optional>
#include <utility>

#include "module/arrow_capsules.h"
#include "module/column_buffer.h"
#include "module/errors.h"
#include "module/owned_ref.h"
#include "module/read_iterator.h"
#include "module/scan_request.h"
#include "module/run_loop.h"
#include "module/scan_run.h"
#include "scan/arrow_export.h"
#include "scan/arrow_stream.h"
#include "scan/column_store.h"
#include "selection/explorer.h"

namespace zentrail {

namespace {

OwnedRef import_numpy() { return OwnedRef::checked(PyImport_ImportModule("numpy")); }

// A scan's read, batch by batch, each batch as NumPy columns.
class ScanBatches : public BatchRead {
public:
    ScanBatches(ReadPlan plan, ColumnSelection columns) : run(std::move(plan)), columns(std::move(columns)) {}

    PyObject* next(PyObject* progress, PyObject* damaged) override {
        std::unique_ptr<ColumnBatch> batch = run.next(progress, damaged);
        if (!batch) return nullptr;
        OwnedRef numpy = import_numpy();
        return batch_as_numpy(numpy.get(), std::move(batch), columns).release();
    }

private:
    ScanRun run;
    const ColumnSelection columns;
};

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

bool make_scan_types(PyObject* module) { return make_column_buffer_type(module); }

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
        import_numpy();  // fails here, before any worker starts
        return new_read_iterator(std::make_unique<ScanBatches>(read_plan(request), request.columns), request.progress,
                                 request.damaged, "scan's read");
    });
}

PyObject* scan_to_numpy(PyObject*, PyObject* request_object) {
    return guarded([&] {
        const ScanRequest request = numpy_request_from(request_object);
        OwnedRef numpy = import_numpy();
        ColumnStore store;
        {
            ScanRun run(read_plan(request));
            while (std::unique_ptr<ColumnBatch> batch = run.next(request.progress, request.damaged)) {
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
        if (request.damaged != nullptr) plan.on_damaged = RunLoop::stream_damage_report(request.damaged);
        return stream_capsule(std::move(plan));
    });
}

PyObject* scan_arrow_schema(PyObject*, PyObject* args) {
    PyObject* columns = nullptr;
    const char* zone = "";
    if (!PyArg_ParseTuple(args, "O!|s:arrow_schema", &PyTuple_Type, &columns, &zone)) return nullptr;
    return guarded([&] {
        const ColumnSelection selection = columns_from(columns);
        auto schema = std::make_unique<ArrowSchema>();
        export_schema(schema.get(), selection, time_format_of(zone));
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

PyObject* lake_state_names_tuple() {
    return guarded([&] {
        constexpr std::size_t count = std::size(LAKE_STATE_NAMES);
        OwnedRef names = OwnedRef::checked(PyTuple_New(static_cast<Py_ssize_t>(count)));
        for (std::size_t i = 0; i < count; ++i) {
            PyObject* name = PyUnicode_FromString(LAKE_STATE_NAMES[i]);
            if (name == nullptr) throw PythonErrorAlreadySet{};
            PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
        }
        return names.release();
    });
}

}  // namespace zentrail
