#include "module/scan_request.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "module/owned_ref.h"
#include "module/signal_monitor.h"
#include "selection/explorer.h"

namespace zentrail {

namespace {

[[noreturn]] void fail() { throw PythonErrorAlreadySet{}; }

}  // namespace

std::string bytes_of(PyObject* object) {
    if (!PyBytes_Check(object)) {
        PyErr_Format(PyExc_TypeError, "a path must be bytes here, not %.200s", Py_TYPE(object)->tp_name);
        fail();
    }
    return std::string(PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
}

int64_t size_of_files(const PathList& paths) {
    int64_t total = 0;
    for (const std::string& path : paths) {
        struct stat status;
        if (::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) total += status.st_size;
    }
    return total;
}

namespace {

class HeldBuffer {
public:
    explicit HeldBuffer(PyObject* object) {
        if (PyObject_GetBuffer(object, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) fail();
    }
    ~HeldBuffer() { PyBuffer_Release(&view); }
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    Py_buffer view;
};

std::vector<int32_t> codes_from(PyObject* object) {
    HeldBuffer codes(object);
    const char* format = codes.view.format != nullptr ? codes.view.format : "B";
    if (codes.view.itemsize != 4 || (std::strcmp(format, "i") != 0 && std::strcmp(format, "=i") != 0)) {
        PyErr_Format(PyExc_TypeError, "codes must be a buffer of native int32, not format %s", format);
        fail();
    }
    std::vector<int32_t> out(static_cast<std::size_t>(codes.view.len / 4));
    if (!out.empty()) std::memcpy(out.data(), codes.view.buf, out.size() * 4);
    return out;
}

}  // namespace

ColumnSelection columns_from(PyObject* columns);

namespace {

void read_pushdown(PyObject* pushdown, ScanRequest* request) {
    PyObject *columns, *elements, *row_window;
    unsigned long class_mask = 0, subtype_mask = 0;
    long long limit = -1;
    if (!PyArg_ParseTuple(pushdown, "O!kkOLO:pushdown", &PyTuple_Type, &columns, &class_mask, &subtype_mask,
                          &elements, &limit, &row_window)) {
        fail();
    }
    if (row_window != Py_None) {
        PyObject *row_start, *row_end;
        if (!PyArg_ParseTuple(row_window, "O!O!:row window", &PyTuple_Type, &row_start, &PyTuple_Type, &row_end)) {
            fail();
        }
        request->row_start = bound_from(row_start, "start");
        request->row_end = bound_from(row_end, "end");
        request->has_row_window = true;
    }
    request->columns = columns_from(columns);
    request->predicate.classes = static_cast<uint32_t>(class_mask);
    request->predicate.subtypes = static_cast<uint8_t>(subtype_mask);
    if (elements != Py_None) {
        if (!PyBytes_Check(elements) || PyBytes_GET_SIZE(elements) != ELEMENT_INDEX_COUNT / 8) {
            PyErr_SetString(PyExc_TypeError, "the element bits must be 128 bytes");
            fail();
        }
        const auto* bits = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(elements));
        for (std::size_t n = 0; n < ELEMENT_INDEX_COUNT; ++n) request->predicate.elements[n] = (bits[n / 8] >> (n % 8)) & 1;
    }
    request->has_predicate = request->predicate.classes != ~uint32_t{0} || request->predicate.subtypes != 0xFF ||
                             !request->predicate.elements.all();
    request->limit = limit;
}

}  // namespace

ColumnSelection columns_from(PyObject* columns) {
    ColumnSelection selection;
    const Py_ssize_t count = PyTuple_GET_SIZE(columns);
    if (count > static_cast<Py_ssize_t>(SELECTABLE_COUNT)) {
        PyErr_SetString(PyExc_ValueError, "more columns than a scan has");
        fail();
    }
    selection.count = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const long column = PyLong_AsLong(PyTuple_GET_ITEM(columns, i));
        if (column == -1 && PyErr_Occurred()) fail();
        if (column < 0 || column >= static_cast<long>(SELECTABLE_COUNT) ||
            selection.holds(static_cast<std::size_t>(column))) {
            PyErr_Format(PyExc_ValueError, "no column %ld, or twice", column);
            fail();
        }
        selection.order[selection.count++] = static_cast<std::size_t>(column);
    }
    return selection;
}

std::unique_ptr<Filter> scan_filter(const ScanRequest& request) {
    InstantWindow window = instant_window(request.start, request.end);
    if (request.has_row_window) {
        const InstantWindow rows = instant_window(request.row_start, request.row_end);
        window.first_ns = std::max(window.first_ns, rows.first_ns);
        window.last_ns = std::min(window.last_ns, rows.last_ns);
        window.open = window.open && rows.open && window.first_ns <= window.last_ns;
    }
    auto filter = std::make_unique<Filter>(window);
    for (int32_t code : request.codes) filter->addId(code);
    if (request.every_code) filter->select_every_code();
    return filter;
}

BoundSpec bound_from(PyObject* tuple, const char* name) {
    BoundSpec bound{};
    long long ns_of_day = 0;
    long long unit = 0;
    if (!PyArg_ParseTuple(tuple, "iiiLL", &bound.year, &bound.month, &bound.day, &ns_of_day, &unit)) fail();
    bound.ns_of_day = ns_of_day;
    bound.unit_ns = unit;
    if (!is_valid_bound(bound)) {
        PyErr_Format(PyExc_ValueError, "%s is not a date and time of years 1 to 9999: %R", name, tuple);
        fail();
    }
    return bound;
}

ScanRequest scan_request_from(PyObject* args) {
    PyObject *where, *start, *end, *codes, *progress, *pushdown = Py_None;
    int listed = 0;
    Py_ssize_t threads = 0, batch_rows = 0;
    if (!PyArg_ParseTuple(args, "OpO!O!OnnO|O", &where, &listed, &PyTuple_Type, &start, &PyTuple_Type, &end, &codes,
                          &threads, &batch_rows, &progress, &pushdown)) {
        fail();
    }
    if (threads < 1 || batch_rows < 1) {
        PyErr_SetString(PyExc_ValueError, "threads and batch_rows must be at least 1");
        fail();
    }
    ScanRequest request;
    request.listed = listed != 0;
    if (request.listed) {
        OwnedRef items = OwnedRef::checked(PySequence_Fast(where, "the listed paths must be a sequence"));
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
            request.paths.push_back(bytes_of(PySequence_Fast_GET_ITEM(items.get(), i)));
        }
    } else {
        request.root_dir = bytes_of(where);
    }
    request.start = bound_from(start, "dt_start");
    request.end = bound_from(end, "dt_end");
    if (codes == Py_None) {
        request.every_code = true;
    } else {
        request.codes = codes_from(codes);
    }
    request.threads = threads > (1 << 20) ? (1 << 20) : static_cast<int>(threads);
    request.batch_rows = static_cast<std::size_t>(batch_rows);
    request.progress = progress == Py_None ? nullptr : progress;
    if (pushdown != Py_None) read_pushdown(pushdown, &request);
    return request;
}

PathList scan_paths(const ScanRequest& request) {
    if (request.listed) return request.paths;
    SignalMonitor monitor;
    const std::string first_day = discovery_text(request.start, false);
    const std::string last_day = discovery_text(request.end, true);
    return find_archive_files(request.root_dir.c_str(), first_day.c_str(), last_day.c_str(), &monitor);
}

}  // namespace zentrail
