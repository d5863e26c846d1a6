#include "module/scan_request.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "module/fetched_files_object.h"
#include "module/named_fields.h"
#include "module/owned_ref.h"
#include "module/signal_monitor.h"
#include "selection/explorer.h"
#include "module/zone_table_object.h"
#include "time/calendar.h"

namespace zentrail {

namespace {

[[noreturn]] void fail() { throw PythonErrorAlreadySet{}; }

using Fields = NamedFields;

std::string bytes_of(PyObject* object) {
    if (!PyBytes_Check(object)) {
        PyErr_Format(PyExc_TypeError, "a path must be bytes here, not %.200s", Py_TYPE(object)->tp_name);
        fail();
    }
    return std::string(PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
}

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

// A bound tuple (year, month, day, ns_of_day, unit_ns), checked.
BoundSpec bound_from(PyObject* tuple, const char* name) {
    BoundSpec bound{};
    long long ns_of_day = 0;
    long long unit = 0;
    if (!PyTuple_Check(tuple) || !PyArg_ParseTuple(tuple, "iiiLL", &bound.year, &bound.month, &bound.day, &ns_of_day, &unit)) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%s must be a bound tuple, not %R", name, tuple);
        fail();
    }
    bound.ns_of_day = ns_of_day;
    bound.unit_ns = unit;
    if (!is_valid_bound(bound)) {
        PyErr_Format(PyExc_ValueError, "%s is not a date and time of years 1 to 9999: %R", name, tuple);
        fail();
    }
    return bound;
}

constexpr BoundSpec EARLIEST{1, 1, 1, 0, 1};
constexpr BoundSpec LATEST{9999, 12, 31, 0, static_cast<int64_t>(NS_PER_DAY)};

RowPredicate predicate_from(Fields& fields) {
    RowPredicate predicate;
    predicate.classes = static_cast<uint32_t>(fields.mask("classes"));
    predicate.subtypes = static_cast<uint8_t>(fields.mask("subtypes"));
    PyObject* elements = fields["elements"];
    if (elements != Py_None) {
        if (!PyBytes_Check(elements) || PyBytes_GET_SIZE(elements) != ELEMENT_INDEX_COUNT / 8) {
            PyErr_SetString(PyExc_TypeError, "the element bits must be 128 bytes");
            fail();
        }
        const auto* bits = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(elements));
        for (std::size_t n = 0; n < ELEMENT_INDEX_COUNT; ++n) predicate.elements[n] = (bits[n / 8] >> (n % 8)) & 1;
    }
    return predicate;
}

// The ids field: false for None (every id), else the ids into *ids.
bool ids_from(Fields& fields, SignalIdSet* ids) {
    PyObject* object = fields["ids"];
    if (object == Py_None) return false;
    if (!PyBytes_Check(object) || static_cast<std::size_t>(PyBytes_GET_SIZE(object)) != ids->size() / 8) {
        PyErr_SetString(PyExc_TypeError, "the signal id bits must be 8192 bytes");
        fail();
    }
    const auto* bits = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(object));
    for (std::size_t n = 0; n < ids->size(); ++n) (*ids)[n] = (bits[n / 8] >> (n % 8)) & 1;
    return true;
}

LaterStage later_stage_from(PyObject* object) {
    Fields fields(object);
    LaterStage stage;
    stage.predicate = predicate_from(fields);
    stage.every_id = !ids_from(fields, &stage.ids);
    PyObject* row_start = fields["row_start"];
    PyObject* row_end = fields["row_end"];
    if (row_start != Py_None || row_end != Py_None) {
        const InstantWindow window = instant_window(row_start == Py_None ? EARLIEST : bound_from(row_start, "start"),
                                                    row_end == Py_None ? LATEST : bound_from(row_end, "end"));
        // A batch's times are nanoseconds since 1970, held to an int64.
        const auto unix_time = [](uint64_t ns) {
            constexpr auto LAST = static_cast<uint64_t>(INT64_MAX - ARCHIVE_EPOCH_UNIX_NS);
            return ns > LAST ? INT64_MAX : static_cast<int64_t>(ns) + ARCHIVE_EPOCH_UNIX_NS;
        };
        stage.first_time = window.open ? unix_time(window.first_ns) : INT64_MAX;
        stage.last_time = window.open ? unix_time(window.last_ns) : INT64_MIN;
    }
    stage.limit = fields.integer("limit");
    return stage;
}

void read_pushdown(Fields& fields, ScanRequest* request) {
    PyObject* row_start = fields["row_start"];
    PyObject* row_end = fields["row_end"];
    if (row_start != Py_None || row_end != Py_None) {
        request->row_start = row_start == Py_None ? EARLIEST : bound_from(row_start, "start");
        request->row_end = row_end == Py_None ? LATEST : bound_from(row_end, "end");
        request->has_row_window = true;
    }
    PyObject* columns = fields["columns"];
    if (!PyTuple_Check(columns)) {
        PyErr_SetString(PyExc_TypeError, "the columns must be a tuple of column places");
        fail();
    }
    request->columns = columns_from(columns);
    request->predicate = predicate_from(fields);
    request->has_predicate = request->predicate.classes != ~uint32_t{0} || request->predicate.subtypes != 0xFF ||
                             !request->predicate.elements.all();
    request->limit = fields.integer("limit");
    request->every_id = !ids_from(fields, &request->ids);
    OwnedRef later = OwnedRef::checked(PySequence_Fast(fields["later"], "the later stages must be a sequence"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(later.get()); ++i) {
        request->later.push_back(later_stage_from(PySequence_Fast_GET_ITEM(later.get(), i)));
    }
}

}  // namespace

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

std::vector<int64_t> int64_buffer(PyObject* object) {
    HeldBuffer numbers(object);
    const char* format = numbers.view.format != nullptr ? numbers.view.format : "B";
    if (numbers.view.itemsize != 8 ||
        (std::strcmp(format, "q") != 0 && std::strcmp(format, "=q") != 0 && std::strcmp(format, "l") != 0)) {
        PyErr_Format(PyExc_TypeError, "instants must be a buffer of native int64, not format %s", format);
        fail();
    }
    std::vector<int64_t> out(static_cast<std::size_t>(numbers.view.len / 8));
    if (!out.empty()) std::memcpy(out.data(), numbers.view.buf, out.size() * 8);
    return out;
}

std::vector<double> float64_buffer(PyObject* object) {
    HeldBuffer numbers(object);
    const char* format = numbers.view.format != nullptr ? numbers.view.format : "B";
    if (numbers.view.itemsize != 8 || (std::strcmp(format, "d") != 0 && std::strcmp(format, "=d") != 0)) {
        PyErr_Format(PyExc_TypeError, "values must be a buffer of native float64, not format %s", format);
        fail();
    }
    std::vector<double> out(static_cast<std::size_t>(numbers.view.len / 8));
    if (!out.empty()) std::memcpy(out.data(), numbers.view.buf, out.size() * 8);
    return out;
}

namespace {

// A series read's rows in force from files it leaves out, by field name
// (codes ascending and distinct, each with its row's instant and value).
std::vector<CodePoint> in_force_of(PyObject* object) {
    std::vector<CodePoint> points;
    if (object == Py_None) return points;
    Fields fields(object);
    const std::vector<int32_t> codes = codes_from(fields["codes"]);
    const std::vector<int64_t> times = int64_buffer(fields["times"]);
    const std::vector<double> values = float64_buffer(fields["values"]);
    if (codes.size() != times.size() || codes.size() != values.size()) {
        PyErr_SetString(PyExc_ValueError, "rows in force: one instant and one value per code");
        fail();
    }
    for (std::size_t k = 0; k < codes.size(); ++k) {
        if (k > 0 && codes[k] <= codes[k - 1]) {
            PyErr_SetString(PyExc_ValueError, "rows in force: codes ascending, each once");
            fail();
        }
        points.push_back(CodePoint{codes[k], SeriesPoint{times[k], values[k]}});
    }
    return points;
}

// A series read's spans of files known without reading them, by field
// name: `paths` (bytes) with their first and last records' instants.
std::unordered_map<std::string, FileSpan> spans_of(PyObject* object) {
    std::unordered_map<std::string, FileSpan> spans;
    if (object == Py_None) return spans;
    Fields fields(object);
    OwnedRef items = OwnedRef::checked(PySequence_Fast(fields["paths"], "the spans' paths must be a sequence"));
    const std::vector<int64_t> firsts = int64_buffer(fields["first"]);
    const std::vector<int64_t> lasts = int64_buffer(fields["last"]);
    const auto count = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.get()));
    if (count != firsts.size() || count != lasts.size()) {
        PyErr_SetString(PyExc_ValueError, "spans: one first and one last instant per path");
        fail();
    }
    for (std::size_t i = 0; i < count; ++i) {
        spans[bytes_of(PySequence_Fast_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)))] =
            FileSpan{firsts[i], lasts[i]};
    }
    return spans;
}

}  // namespace

int64_t size_of_files(const PathList& paths, const ByteSource* source) {
    int64_t total = 0;
    for (const std::string& path : paths) {
        if (source != nullptr) {
            total += source->size_of(path);
            continue;
        }
        struct stat status;
        if (::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) total += status.st_size;
    }
    return total;
}

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

ScanRequest scan_request_from(PyObject* object) {
    Fields fields(object);
    ScanRequest request;
    request.listed = PyObject_IsTrue(fields["listed"]) == 1;
    if (PyErr_Occurred()) fail();
    PyObject* where = fields["where"];
    if (request.listed) {
        OwnedRef items = OwnedRef::checked(PySequence_Fast(where, "the listed paths must be a sequence"));
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
            request.paths.push_back(bytes_of(PySequence_Fast_GET_ITEM(items.get(), i)));
        }
    } else {
        request.root_dir = bytes_of(where);
    }
    PyObject* shown = fields["shown"];
    if (shown != Py_None) {
        OwnedRef items = OwnedRef::checked(PySequence_Fast(shown, "the shown names must be a sequence"));
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
            request.shown.push_back(bytes_of(PySequence_Fast_GET_ITEM(items.get(), i)));
        }
    }
    PyObject* start = fields["start"];
    PyObject* end = fields["end"];
    request.has_start = start != Py_None;
    request.has_end = end != Py_None;
    request.start = request.has_start ? bound_from(start, "dt_start") : EARLIEST;
    request.end = request.has_end ? bound_from(end, "dt_end") : LATEST;
    PyObject* file_start = fields["file_start"];
    PyObject* file_end = fields["file_end"];
    request.has_file_start = file_start != Py_None;
    request.has_file_end = file_end != Py_None;
    request.file_start = request.has_file_start ? bound_from(file_start, "file_start") : EARLIEST;
    request.file_end = request.has_file_end ? bound_from(file_end, "file_end") : LATEST;
    request.zone = read_zone_of(fields["zone"]);
    PyObject* codes = fields["codes"];
    if (codes == Py_None) {
        request.every_code = true;
    } else {
        request.codes = codes_from(codes);
    }
    const long long threads = fields.integer("threads");
    const long long batch_rows = fields.integer("batch_rows");
    if (threads < 1 || batch_rows < 1) {
        PyErr_SetString(PyExc_ValueError, "threads and batch_rows must be at least 1");
        fail();
    }
    request.threads = threads > (1 << 20) ? (1 << 20) : static_cast<int>(threads);
    request.batch_rows = static_cast<std::size_t>(batch_rows);
    PyObject* progress = fields["progress"];
    request.progress = progress == Py_None ? nullptr : progress;
    PyObject* damaged = fields["damaged"];
    request.damaged = damaged == Py_None ? nullptr : damaged;
    request.discover = request.listed && PyObject_IsTrue(fields["discover"]) == 1;
    if (PyErr_Occurred()) fail();
    request.source = fetched_files_of(fields["source"]);
    request.in_force = in_force_of(fields["in_force"]);
    request.spans = spans_of(fields["spans"]);
    read_pushdown(fields, &request);
    return request;
}

PathList files_of(const ScanRequest& request) {
    if (request.listed && !request.discover) return request.paths;
    SignalMonitor monitor;
    // "" and "~" lie below and above every day's text: every file's name.
    const std::string first_day = request.has_file_start ? discovery_text(request.file_start, false) : std::string();
    const std::string last_day = request.has_file_end ? discovery_text(request.file_end, true) : std::string("~");
    if (request.discover) {
        // A listing from elsewhere, by the rules of a walk.
        const Explorer explorer(first_day.c_str(), last_day.c_str());
        PathList listing = request.paths;
        pass_over_lakes(&listing);
        PathList found;
        for (const std::string& path : listing) {
            if (explorer.filter_date_match(path.c_str())) found.push_back(path);
        }
        sort_archive_paths(&found);
        return found;
    }
    return find_archive_files(request.root_dir.c_str(), first_day.c_str(), last_day.c_str(), &monitor);
}

InstantWindow window_of(const ScanRequest& request) {
    InstantWindow window = instant_window(request.start, request.end);
    if (!request.has_end && window.open) window.last_ns = UINT64_MAX;
    return window;
}

ReadPlan read_plan(const ScanRequest& request) {
    ReadPlan plan;
    plan.window = window_of(request);
    InstantWindow rows = plan.window;
    if (request.has_row_window) {
        const InstantWindow narrower = instant_window(request.row_start, request.row_end);
        rows.first_ns = std::max(rows.first_ns, narrower.first_ns);
        rows.last_ns = std::min(rows.last_ns, narrower.last_ns);
        rows.open = rows.open && narrower.open && rows.first_ns <= rows.last_ns;
    }
    plan.filter = std::make_unique<Filter>(rows);
    for (int32_t code : request.codes) plan.filter->addId(code);
    if (request.every_code) {
        if (request.every_id) {
            plan.filter->select_every_code();
        } else {
            plan.filter->select_every_code_of(request.ids);
        }
    }
    plan.predicate = request.predicate;
    plan.has_predicate = request.has_predicate;
    plan.columns = request.columns;
    plan.limit = request.limit;
    plan.later = request.later;
    plan.skip_damaged = request.damaged != nullptr;
    plan.threads = request.threads;
    plan.batch_rows = request.batch_rows;
    plan.source = request.source;
    plan.zone = request.zone;
    // Found now, with the interpreter's signal checks: a walk error raises
    // here, as read raises it. As for read: no selected code, nothing to
    // open; nor when no row is wanted.
    plan.paths = files_of(request);
    if (plan.reads_nothing()) plan.paths.clear();
    return plan;
}

}  // namespace zentrail
