// zentrail._core: the compiled core of the zentrail package. `read` is the
// package's read as it stands; the rest serves the Python layer, which
// checks and normalises a caller's arguments before anything here runs.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "module/errors.h"
#include "module/align_calls.h"
#include "module/csv_call.h"
#include "module/events_calls.h"
#include "module/read_iterator.h"
#include "module/fetched_files_object.h"
#include "module/zone_table_object.h"
#include "module/inventory_calls.h"
#include "module/label_call.h"
#include "module/overview_calls.h"
#include "module/read_call.h"
#include "module/scan_calls.h"
#include "module/tail_call.h"
#include "module/time_weighted_call.h"
#include "module/in_force_call.h"
#include "module/identity_call.h"
#include "module/table_calls.h"

namespace {

PyObject* read(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"root_dir", "dt_start", "dt_end", "signals", nullptr};
    const char* root_dir = nullptr;
    const char* dt_start = nullptr;
    const char* dt_end = nullptr;
    PyObject* signals = nullptr;  // borrowed
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sssO", const_cast<char**>(keywords), &root_dir, &dt_start,
                                     &dt_end, &signals)) {
        return nullptr;
    }
    return zentrail::guarded([&] { return zentrail::read_archives(root_dir, dt_start, dt_end, signals); },
                             zentrail::FilePlace::in_note);
}


PyMethodDef core_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(read)), METH_VARARGS | METH_KEYWORDS,
     // The signature line gives read a __text_signature__ for help() and
     // inspect; __doc__ is the text after it.
     "read($module, /, root_dir, dt_start, dt_end, signals)\n--\n\n"
     "Python interface for zentrail C++ library function"},
    {"iterate", zentrail::scan_iterate, METH_O, "A read of a scan request, batch by batch."},
    {"to_numpy", zentrail::scan_to_numpy, METH_O, "A read of a scan request into whole NumPy columns."},
    {"arrow_stream", zentrail::scan_arrow_stream, METH_VARARGS,
     "A read of a scan request as an Arrow stream capsule."},
    {"arrow_schema", zentrail::scan_arrow_schema, METH_VARARGS, "The Arrow schema capsule of a scan's columns."},
    {"tail_read", zentrail::tail_read, METH_VARARGS, "The rows a file gained from a place a read of it stopped at."},
    {"find_files", zentrail::find_files, METH_O, "The files a scan of a tree reads, in its order."},
    {"zone_table", zentrail::zone_table_call, METH_VARARGS,
     "A zone's clock changes for reads: zone_table(name, first_offset, changes)."},
    {"fetched_files", zentrail::fetched_files_call, METH_VARARGS,
     "The files of a read fetched from elsewhere: fetched_files(names, sizes, in_flight)."},
    {"zip_members", zentrail::zip_members_call, METH_VARARGS,
     "The members of a local zip file, read where they lie: zip_members(zip_path, names, places)."},
    {"parse_bound", zentrail::parse_bound_text, METH_O, "A bound text as (year, month, day, ns_of_day, unit_ns)."},
    {"inventory", zentrail::inventory_call, METH_VARARGS, "The inventory of archive files, as columns."},
    {"events", zentrail::events_call, METH_VARARGS, "The alarm and system events of archive files, as columns."},
    {"iterate_events", zentrail::iterate_events_call, METH_VARARGS,
     "The alarm and system events of archive files, a few files a batch."},
    {"record_names", zentrail::record_names_call, METH_VARARGS,
     "(class_name, subtype_name, detail) of an item code and second byte, as the text writer prints them."},
    {"align", zentrail::align_call, METH_VARARGS, "A scan's codes on a time grid, as whole columns or batch by batch."},
    {"align_stream", zentrail::align_stream_call, METH_VARARGS, "The Arrow stream capsule of an aligned read."},
    {"align_columns", zentrail::align_columns_call, METH_VARARGS, "The names of an aligned read's columns."},
    {"code_column_name", zentrail::code_column_name_call, METH_O, "The name of a code's grid column."},
    {"time_weighted", zentrail::time_weighted_call, METH_VARARGS, "Time in force and integrals per code and bucket."},
    {"in_force", zentrail::in_force_call, METH_VARARGS, "Each code's last value row at or before an instant."},
    {"file_identities", zentrail::file_identities_call, METH_O, "Files' sizes, times, inodes and edge hashes."},
    {"label_indices", zentrail::label_indices_call, METH_VARARGS,
     "The catalog's dictionary indices of a batch's rows, found by their codes, into the outputs given."},
    {"table_stream", zentrail::table_stream_call, METH_O,
     "A table of columns (name, Arrow format, values, names or None) as an Arrow stream capsule."},
    {"overview", zentrail::overview_call, METH_VARARGS,
     "The overview of a scan request in time buckets, as columns or an Arrow stream."},
    {"csv_rows", zentrail::csv_rows_call, METH_VARARGS,
     "A batch of columns as CSV lines: csv_rows([(kind, values, offsets), ...], quoted_characters)."},
    {"table_lines", zentrail::table_lines_call, METH_VARARGS,
     "Columns as the lines of an aligned table: table_lines(columns, names, right, chunk_rows)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef core_module = {
    PyModuleDef_HEAD_INIT,
    "zentrail._core",
    "The compiled core of zentrail; use the zentrail package.",
    -1,
    core_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__core(void) {
    PyObject* module = PyModule_Create2(&core_module, PYTHON_API_VERSION);
    if (module == nullptr) return nullptr;
    PyObject* columns = zentrail::columns_tuple();
    if (!zentrail::make_scan_types(module) || !zentrail::make_read_iterator_type(module) ||
        !zentrail::make_fetched_files_type(module) || !zentrail::make_zone_table_type(module) || columns == nullptr || PyModule_AddObject(module, "COLUMNS", columns) < 0) {
        Py_XDECREF(columns);
        Py_DECREF(module);
        return nullptr;
    }
    const struct {
        const char* name;
        PyObject* (*make)();
    } tuples[] = {{"CLASS_NAMES", zentrail::class_names_tuple}, {"NAME_COLUMNS", zentrail::name_columns_tuple},
                  {"LAKE_STATE_NAMES", zentrail::lake_state_names_tuple}};
    for (const auto& tuple : tuples) {
        PyObject* value = tuple.make();
        if (value == nullptr || PyModule_AddObject(module, tuple.name, value) < 0) {
            Py_XDECREF(value);
            Py_DECREF(module);
            return nullptr;
        }
    }
    return module;
}
