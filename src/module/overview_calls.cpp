#include "module/arrow_capsules.h"
#include "module/overview_calls.h"

#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "archive/parser.h"
#include "module/errors.h"
#include "module/gil.h"
#include "module/owned_ref.h"
#include "module/scan_request.h"
#include "scan/file_runner.h"
#include "scan/overview_sink.h"
#include "scan/table_arrow.h"

namespace zentrail {

namespace {

constexpr std::chrono::milliseconds SIGNAL_CHECK_INTERVAL{20};
constexpr std::chrono::milliseconds PROGRESS_INTERVAL{100};
// More buckets than this would be more cells than any screen or table needs,
// and a bucket index must fit in the cell key.
constexpr long long MAX_BUCKETS = 1LL << 30;

[[noreturn]] void fail() { throw PythonErrorAlreadySet{}; }


void report(PyObject* progress, int64_t done, int64_t total) {
    if (progress == nullptr) return;
    OwnedRef result = OwnedRef::steal(
        PyObject_CallFunction(progress, "LL", static_cast<long long>(done), static_cast<long long>(total)));
    if (!result) fail();
}

// Each file is summed up on a worker into a table of its own; the tables are
// merged on this thread in file order, so that first and last values keep
// the read's order. Memory: the merged table, and one table per file in
// flight (a few per worker), each at most the cells of that file.
OverviewTable read_overview(const ScanRequest& request, uint32_t buckets) {
    const InstantWindow window = instant_window(request.start, request.end);
    Filter filter(window);
    for (int32_t code : request.codes) filter.addId(code);
    if (request.every_code) filter.select_every_code();
    PathList paths = scan_paths(request);
    if (filter.isEmpty()) paths.clear();
    const int64_t total = size_of_files(paths);
    const OverviewGrid grid(window, buckets);
    const Filter* shared = &filter;
    OverviewTable merged;
    FileRunner<OverviewTable> runner(
        std::move(paths), request.threads, [shared] { return std::make_unique<Parser>(shared); },
        [shared, grid](Parser& parser, const std::string& path, OverviewTable& out) {
            OverviewSink sink(shared, grid, &out);
            parser.read_file(&sink, path);
        });
    auto last_report = std::chrono::steady_clock::now();
    for (;;) {
        OverviewTable file;
        const auto got = without_gil([&] { return runner.next(&file, SIGNAL_CHECK_INTERVAL); });
        if (PyErr_CheckSignals() != 0) fail();
        if (got == FileRunner<OverviewTable>::Next::Finished) {
            report(request.progress, total, total);
            return merged;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now - last_report >= PROGRESS_INTERVAL) {
            last_report = now;
            report(request.progress, std::min(runner.bytes_read(), total), total);
        }
        if (got == FileRunner<OverviewTable>::Next::Ready) merged.merge_later(file);
    }
}

// The rows of the cells in key order, written in one pass per column group.
std::vector<OwnedColumn> overview_columns(const OverviewTable& table, const OverviewGrid& grid) {
    const std::vector<OverviewCell>& cells = table.cells_made();
    const std::vector<std::size_t> order = table.key_order();
    const std::size_t n = order.size();
    std::vector<OwnedColumn> out;
    auto add = [&](const char* name, const char* format, std::size_t width) {
        out.push_back(OwnedColumn{name, format, std::vector<uint8_t>(n * width)});
    };
    add("signal_id", "S", 2);
    add("element", "S", 2);
    add("bucket", "tsn:", 8);
    add("count", "l", 8);
    add("mean", "g", 8);
    add("min", "g", 8);
    add("min_time", "tsn:", 8);
    add("max", "g", 8);
    add("max_time", "tsn:", 8);
    add("first", "g", 8);
    add("first_time", "tsn:", 8);
    add("last", "g", 8);
    add("last_time", "tsn:", 8);
    auto put = [&](std::size_t column, std::size_t row, const auto value) {
        std::memcpy(out[column].bytes.data() + row * sizeof value, &value, sizeof value);
    };
    for (std::size_t r = 0; r < n; ++r) {
        const OverviewCell& c = cells[order[r]];
        put(0, r, OverviewTable::id_of(c.key));
        put(1, r, OverviewTable::element_of(c.key));
        put(2, r, grid.start_of(OverviewTable::bucket_of(c.key)));
        put(3, r, c.count);
        put(4, r, c.sum / static_cast<double>(c.count));
        put(5, r, c.min);
        put(6, r, c.min_time);
        put(7, r, c.max);
        put(8, r, c.max_time);
        put(9, r, c.first);
        put(10, r, c.first_time);
        put(11, r, c.last);
        put(12, r, c.last_time);
    }
    return out;
}


}  // namespace

PyObject* overview_call(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* request_tuple;
        long long buckets = 0;
        int as_arrow = 0;
        if (!PyArg_ParseTuple(args, "O!Lp:overview", &PyTuple_Type, &request_tuple, &buckets, &as_arrow)) fail();
        if (buckets < 1 || buckets > MAX_BUCKETS) {
            PyErr_Format(PyExc_ValueError, "buckets must lie in 1 to %lld, not %lld", MAX_BUCKETS, buckets);
            fail();
        }
        const ScanRequest request = scan_request_from(request_tuple);
        OwnedRef progress = OwnedRef::new_reference(request.progress);
        OverviewTable table = read_overview(request, static_cast<uint32_t>(buckets));
        table.drop_index();
        const auto rows = static_cast<int64_t>(table.size());
        const OverviewGrid grid(instant_window(request.start, request.end), static_cast<uint32_t>(buckets));
        std::vector<OwnedColumn> columns = overview_columns(table, grid);
        // The result is held once, in columns, from here on.
        table = OverviewTable();
        if (as_arrow) {
            auto stream = std::make_unique<ArrowArrayStream>();
            export_table_stream(std::move(columns), rows, stream.get());
            return arrow_capsule(std::move(stream));
        }
        OwnedRef out = OwnedRef::checked(PyDict_New());
        for (OwnedColumn& c : columns) {
            OwnedRef bytes = OwnedRef::checked(PyByteArray_FromStringAndSize(
                reinterpret_cast<const char*>(c.bytes.data()), static_cast<Py_ssize_t>(c.bytes.size())));
            if (PyDict_SetItemString(out.get(), c.name.c_str(), bytes.get()) != 0) fail();
            std::vector<uint8_t>().swap(c.bytes);
        }
        return out.release();
    });
}

}  // namespace zentrail
