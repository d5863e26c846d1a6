#include "module/scan_object.h"

#include <memory>
#include <utility>
#include <vector>

#include "module/blank_type.h"
#include "module/column_buffer.h"
#include "module/read_call.h"
#include "module/scan_arguments.h"
#include "module/scan_run.h"
#include "scan/arrow_export.h"
#include "scan/column_store.h"

namespace zentrail {

namespace {

struct Scan {
    PyObject_HEAD
    ScanRequest* request;
};

struct ScanIterator {
    PyObject_HEAD
    ScanRun* run;  // null once the iteration has ended
    PyObject* numpy;
};

// Runs `body` and turns any C++ failure into the Python exception.
template <typename Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (...) {
        raise_current_exception_in_python();
        return nullptr;
    }
}

OwnedRef import_numpy() {
    OwnedRef numpy = OwnedRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) throw PythonErrorAlreadySet{};
    return numpy;
}

const ScanRequest& request_of(PyObject* self) { return *reinterpret_cast<Scan*>(self)->request; }

OwnedRef new_scan(std::unique_ptr<ScanRequest> request) {
    OwnedRef object = OwnedRef::checked(PyType_GenericAlloc(&ScanType, 0));
    reinterpret_cast<Scan*>(object.get())->request = request.release();
    return object;
}

// What scan and scan_files share after their first argument.
void fill_common(ScanRequest* request, PyObject* dt_start, PyObject* dt_end, PyObject* signals, PyObject* threads,
                 PyObject* batch_rows, PyObject* progress) {
    request->dt_start = bound_argument(dt_start, "dt_start", false);
    request->dt_end = bound_argument(dt_end, "dt_end", true);
    request->codes = scan_codes_argument(signals);
    request->threads = static_cast<int>(positive_argument(threads, "threads", 0));
    request->batch_rows = static_cast<std::size_t>(positive_argument(batch_rows, "batch_rows", DEFAULT_BATCH_ROWS));
    if (progress != nullptr && progress != Py_None && progress != Py_True && progress != Py_False &&
        !PyCallable_Check(progress)) {
        PyErr_Format(PyExc_TypeError, "progress must be None, True or a callable, not %.200s",
                     Py_TYPE(progress)->tp_name);
        throw PythonErrorAlreadySet{};
    }
    request->progress = OwnedRef::new_reference(progress != nullptr ? progress : Py_None);
}

OwnedRef decoded_path(const std::string& path) {
    return OwnedRef::checked(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

// ---- Scan ----

void scan_dealloc(PyObject* self) {
    delete reinterpret_cast<Scan*>(self)->request;
    Py_TYPE(self)->tp_free(self);
}

PyObject* scan_iter(PyObject* self) {
    return guarded([&] {
        OwnedRef numpy = import_numpy();
        auto run = std::make_unique<ScanRun>(request_of(self));
        OwnedRef it = OwnedRef::checked(PyType_GenericAlloc(&ScanIteratorType, 0));
        auto* iterator = reinterpret_cast<ScanIterator*>(it.get());
        iterator->run = run.release();
        iterator->numpy = numpy.release();
        return it.release();
    });
}

// Every batch of a fresh read, or the read's failure: nothing partial.
std::vector<std::unique_ptr<ColumnBatch>> all_batches(const ScanRequest& request) {
    std::vector<std::unique_ptr<ColumnBatch>> batches;
    ScanRun run(request);
    while (std::unique_ptr<ColumnBatch> batch = run.next()) batches.push_back(std::move(batch));
    return batches;
}

OwnedRef whole_columns(const ScanRequest& request) {
    OwnedRef numpy = import_numpy();
    ColumnStore store;
    {
        ScanRun run(request);
        while (std::unique_ptr<ColumnBatch> batch = run.next()) {
            store.append(*batch);
            run.recycle(std::move(batch));
        }
    }
    OwnedRef columns = OwnedRef::checked(PyDict_New());
    for (std::size_t i = 0; i < COLUMN_COUNT; ++i) {
        std::shared_ptr<GrowableRegion> region = store.column(i);
        OwnedRef array = numpy_column(numpy.get(), region, region->data(), region->size(), COLUMNS[i].numpy_type);
        if (PyDict_SetItemString(columns.get(), COLUMNS[i].name, array.get()) != 0) throw PythonErrorAlreadySet{};
    }
    return columns;
}

PyObject* scan_to_numpy(PyObject* self, PyObject*) {
    return guarded([&] { return whole_columns(request_of(self)).release(); });
}

PyObject* scan_to_pandas(PyObject* self, PyObject*) {
    return guarded([&] {
        OwnedRef pandas = OwnedRef::steal(PyImport_ImportModule("pandas"));
        if (!pandas) {
            PyErr_SetString(PyExc_ImportError, "Scan.to_pandas() needs pandas, which is not installed: pip install pandas");
            throw PythonErrorAlreadySet{};
        }
        OwnedRef columns = whole_columns(request_of(self));
        OwnedRef frame_type = OwnedRef::checked(PyObject_GetAttrString(pandas.get(), "DataFrame"));
        OwnedRef args = OwnedRef::checked(PyTuple_Pack(1, columns.get()));
        OwnedRef kwargs = OwnedRef::checked(Py_BuildValue("{s:O}", "copy", Py_False));
        return PyObject_Call(frame_type.get(), args.get(), kwargs.get());
    });
}

void release_stream_capsule(PyObject* capsule) {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (stream == nullptr) {
        PyErr_Clear();
        return;
    }
    if (stream->release != nullptr) stream->release(stream);
    delete stream;
}

PyObject* scan_arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"requested_schema", nullptr};
    PyObject* requested_schema = Py_None;  // the columns have one form; a request is not needed
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_stream__", const_cast<char**>(keywords),
                                     &requested_schema)) {
        return nullptr;
    }
    return guarded([&] {
        // The whole read happens here, so that a failure raises exactly what
        // read raises and no consumer sees part of a result.
        auto stream = std::make_unique<ArrowArrayStream>();
        export_stream(all_batches(request_of(self)), stream.get());
        PyObject* capsule = PyCapsule_New(stream.get(), "arrow_array_stream", release_stream_capsule);
        if (capsule == nullptr) {
            stream->release(stream.get());
            throw PythonErrorAlreadySet{};
        }
        stream.release();
        return capsule;
    });
}

// What a scan describes, as a tuple that _from_state takes back.
PyObject* scan_reduce(PyObject* self, PyObject*) {
    return guarded([&] {
        const ScanRequest& request = request_of(self);
        OwnedRef paths = OwnedRef::checked(PyList_New(0));
        for (const std::string& path : request.paths) {
            OwnedRef bytes = OwnedRef::checked(
                PyBytes_FromStringAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
            if (PyList_Append(paths.get(), bytes.get()) != 0) throw PythonErrorAlreadySet{};
        }
        OwnedRef codes = OwnedRef::checked(PyList_New(0));
        for (int32_t code : request.codes) {
            OwnedRef number = OwnedRef::checked(PyLong_FromLong(code));
            if (PyList_Append(codes.get(), number.get()) != 0) throw PythonErrorAlreadySet{};
        }
        OwnedRef restore = OwnedRef::checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&ScanType), "_from_state"));
        OwnedRef state = OwnedRef::checked(Py_BuildValue(
            "(y#OOssOnnO)", request.root_dir.data(), static_cast<Py_ssize_t>(request.root_dir.size()),
            request.listed ? Py_True : Py_False, paths.get(), request.dt_start.c_str(), request.dt_end.c_str(), codes.get(),
            static_cast<Py_ssize_t>(request.threads), static_cast<Py_ssize_t>(request.batch_rows), request.progress.get()));
        return Py_BuildValue("(O(O))", restore.get(), state.get());
    });
}

PyObject* scan_from_state(PyObject*, PyObject* args) {
    PyObject* state = nullptr;
    if (!PyArg_ParseTuple(args, "O!:_from_state", &PyTuple_Type, &state)) return nullptr;
    return guarded([&] {
        const char* root = nullptr;
        Py_ssize_t root_size = 0;
        PyObject *listed, *paths, *codes, *progress;
        const char *start, *end;
        Py_ssize_t threads, batch_rows;
        if (!PyArg_ParseTuple(state, "y#OOssOnnO", &root, &root_size, &listed, &paths, &start, &end, &codes,
                              &threads, &batch_rows, &progress)) {
            throw PythonErrorAlreadySet{};
        }
        auto request = std::make_unique<ScanRequest>();
        request->root_dir.assign(root, static_cast<std::size_t>(root_size));
        request->listed = PyObject_IsTrue(listed) == 1;
        request->paths = paths_argument(paths);
        request->dt_start = start;
        request->dt_end = end;
        request->codes = scan_codes_argument(codes);
        request->threads = static_cast<int>(threads);
        request->batch_rows = static_cast<std::size_t>(batch_rows);
        request->progress = OwnedRef::new_reference(progress);
        return new_scan(std::move(request)).release();
    });
}

PyObject* scan_repr(PyObject* self) {
    return guarded([&] {
        const ScanRequest& request = request_of(self);
        OwnedRef where = request.listed ? OwnedRef::checked(PyUnicode_FromFormat("%zd files", static_cast<Py_ssize_t>(request.paths.size())))
                                     : decoded_path(request.root_dir);
        return PyUnicode_FromFormat("<zentrail.Scan of %S from %s to %s, %zd codes>", where.get(),
                                    request.dt_start.c_str(), request.dt_end.c_str(),
                                    static_cast<Py_ssize_t>(request.codes.size()));
    });
}

PyMethodDef scan_methods[] = {
    {"to_numpy", scan_to_numpy, METH_NOARGS,
     "to_numpy($self, /)\n--\n\n"
     "Reads the scan and returns a dict of whole NumPy columns: time (datetime64[ns]),\n"
     "signal_id (uint16), element (uint16), value (float64), item_class (uint8) and\n"
     "subtype (uint8). Raises what read raises, with no partial result."},
    {"to_pandas", scan_to_pandas, METH_NOARGS,
     "to_pandas($self, /)\n--\n\n"
     "Reads the scan into a pandas DataFrame with the columns of to_numpy()."},
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(scan_arrow_c_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, /, requested_schema=None)\n--\n\n"
     "The Arrow PyCapsule stream interface: pyarrow.table(scan), polars.DataFrame(scan)\n"
     "and DuckDB read a scan through it. The read happens in this call."},
    {"__reduce__", scan_reduce, METH_NOARGS, "What the scan describes, for pickle."},
    {"_from_state", scan_from_state, METH_VARARGS | METH_CLASS, "Remakes a pickled scan."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- ScanIterator ----

void iterator_dealloc(PyObject* self) {
    auto* iterator = reinterpret_cast<ScanIterator*>(self);
    delete iterator->run;
    Py_XDECREF(iterator->numpy);
    Py_TYPE(self)->tp_free(self);
}

void end_iteration(ScanIterator* iterator) {
    delete iterator->run;
    iterator->run = nullptr;
}

PyObject* iterator_next(PyObject* self) {
    auto* iterator = reinterpret_cast<ScanIterator*>(self);
    if (iterator->run == nullptr) return nullptr;
    try {
        std::unique_ptr<ColumnBatch> batch = iterator->run->next();
        if (!batch) {
            end_iteration(iterator);
            return nullptr;
        }
        return batch_as_numpy(iterator->numpy, std::move(batch)).release();
    } catch (...) {
        // A failure ends the iteration; the workers stop before it is raised.
        raise_current_exception_in_python();
        end_iteration(iterator);
        return nullptr;
    }
}

}  // namespace

PyTypeObject ScanType = [] {
    PyTypeObject type = blank_type();
    type.tp_name = "zentrail.Scan";
    type.tp_basicsize = sizeof(Scan);
    type.tp_dealloc = scan_dealloc;
    type.tp_repr = scan_repr;
    type.tp_iter = scan_iter;
    type.tp_methods = scan_methods;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc =
        "A columnar read of archive files, made by zentrail.scan or zentrail.scan_files.\n\n"
        "It holds what to read and reads nothing until consumed; every consumption reads\n"
        "afresh. Iterate it for dicts of NumPy arrays of at most batch_rows rows each, or\n"
        "call to_numpy(), to_pandas(), or hand it to pyarrow.table, polars.DataFrame or\n"
        "DuckDB (Arrow PyCapsule stream interface). It pickles as what it describes.";
    return type;
}();

PyTypeObject ScanIteratorType = [] {
    PyTypeObject type = blank_type();
    type.tp_name = "zentrail.ScanIterator";
    type.tp_basicsize = sizeof(ScanIterator);
    type.tp_dealloc = iterator_dealloc;
    type.tp_iter = PyObject_SelfIter;
    type.tp_iternext = iterator_next;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc = "One read of a Scan, batch by batch.";
    return type;
}();

namespace {

// scan and scan_files differ only in their first argument: a tree to search,
// or the files themselves.
PyObject* make_scan(PyObject* args, PyObject* kwargs, bool listed) {
    static const char* tree_keywords[] = {"root_dir", "dt_start", "dt_end", "signals", "threads", "batch_rows",
                                          "progress", nullptr};
    static const char* listed_keywords[] = {"paths", "dt_start", "dt_end", "signals", "threads", "batch_rows",
                                            "progress", nullptr};
    PyObject *where, *start, *end, *signals, *threads = Py_None, *batch_rows = Py_None, *progress = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, listed ? "OOOO|$OOO:scan_files" : "OOOO|$OOO:scan",
                                     const_cast<char**>(listed ? listed_keywords : tree_keywords), &where, &start,
                                     &end, &signals, &threads, &batch_rows, &progress)) {
        return nullptr;
    }
    return guarded([&] {
        auto request = std::make_unique<ScanRequest>();
        request->listed = listed;
        if (listed) {
            request->paths = paths_argument(where);
        } else {
            request->root_dir = path_argument(where);
        }
        fill_common(request.get(), start, end, signals, threads, batch_rows, progress);
        return new_scan(std::move(request)).release();
    });
}

}  // namespace

PyObject* scan_function(PyObject*, PyObject* args, PyObject* kwargs) { return make_scan(args, kwargs, false); }

PyObject* scan_files_function(PyObject*, PyObject* args, PyObject* kwargs) { return make_scan(args, kwargs, true); }

PyObject* find_files_function(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"root_dir", "dt_start", "dt_end", nullptr};
    PyObject *root, *start, *end;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:find_files", const_cast<char**>(keywords), &root, &start,
                                     &end)) {
        return nullptr;
    }
    return guarded([&] {
        ScanRequest request;
        request.root_dir = path_argument(root);
        request.dt_start = bound_argument(start, "dt_start", false);
        request.dt_end = bound_argument(end, "dt_end", true);
        OwnedRef list = OwnedRef::checked(PyList_New(0));
        for (const std::string& path : scan_paths(request)) {
            OwnedRef text = decoded_path(path);
            if (PyList_Append(list.get(), text.get()) != 0) throw PythonErrorAlreadySet{};
        }
        return list.release();
    });
}

bool ready_scan_types(PyObject* module) {
    if (PyType_Ready(&ColumnBufferType) < 0 || PyType_Ready(&ScanType) < 0 || PyType_Ready(&ScanIteratorType) < 0) {
        return false;
    }
    Py_INCREF(&ScanType);
    if (PyModule_AddObject(module, "Scan", reinterpret_cast<PyObject*>(&ScanType)) < 0) {
        Py_DECREF(&ScanType);
        return false;
    }
    return true;
}

}  // namespace zentrail
