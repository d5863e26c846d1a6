#include "module/arrow_capsules.h"
#include "module/overview_calls.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

#include "archive/parser.h"
#include "module/column_buffer.h"
#include "module/errors.h"
#include "module/gil.h"
#include "module/owned_ref.h"
#include "module/run_loop.h"
#include "module/scan_request.h"
#include "module/scan_run.h"
#include "scan/file_runner.h"
#include "scan/overview_sink.h"
#include "scan/table_arrow.h"

namespace zentrail {

namespace {

// More buckets than this would be more cells than any screen or table needs,
// and a bucket index must fit in the cell key.
constexpr long long MAX_BUCKETS = 1LL << 30;
// Rows of the result reserved at the start at most (128 MB a field).
constexpr std::size_t MAX_RESERVED_ROWS = std::size_t{1} << 24;

[[noreturn]] void fail() { throw PythonErrorAlreadySet{}; }

// Each file is summed up on a worker into a table of its own; the tables are
// merged on this thread in file order, so that first and last values keep
// the read's order. Memory: the merged result, and one table per file in
// flight (a few per worker), each at most the cells of that file.
OverviewResult overview_by_file(ReadPlan plan, PyObject* progress, PyObject* damaged, const OverviewGrid& grid) {
    const int64_t total = size_of_files(plan.paths, plan.source.get());
    const std::size_t file_count = plan.paths.size();
    const uint32_t buckets = grid.bucket_count();
    const ReadPlan* shared = &plan;
    // Files of one archive hold much the same signals over spans of the same
    // length: a file's table starts with room for the cells of the last file
    // read, rather than growing (and rehashing) its way there.
    std::atomic<std::size_t> last_cells{0};
    std::atomic<std::size_t> last_groups{0};
    OverviewResult merged;
    FileRunner<OverviewTable> runner(
        plan.paths, plan.threads, [shared] {
            auto parser = std::make_unique<Parser>(shared->filter.get());
            parser->set_payload_classes(0);  // the sink reads the stored payloads
            parser->set_byte_source(shared->source.get());
            parser->set_zone(shared->zone);
            return parser;
        },
        [shared, grid, &last_cells, &last_groups](Parser& parser, const std::string& path, OverviewTable& out) {
            out.reserve(last_cells.load(std::memory_order_relaxed), last_groups.load(std::memory_order_relaxed));
            OverviewSink sink(*shared, grid, &out);
            parser.read_file(&sink, path);
            sink.flush();
            last_cells.store(out.size(), std::memory_order_relaxed);
            last_groups.store(out.groups(), std::memory_order_relaxed);
            out.drop_index();
        },
        plan.skip_damaged);
    RunLoop loop(progress, total);
    loop.set_damaged(damaged);
    OverviewTable file;
    while (loop.next(runner, &file)) {
        // Files of one archive mostly span equal times and hold much the
        // same signals: the first file's cells times the files, but no
        // more than that file's cells in every bucket, nor than a bound on
        // what is asked of the system up front.
        if (merged.size() == 0) {
            merged.reserve(std::min({file.size() * file_count, file.size() * std::size_t{buckets}, MAX_RESERVED_ROWS}));
        }
        merged.merge_later(file);
        file = OverviewTable();
    }
    return merged;
}

// With a limit, which rows count depends on every file before: the rows are
// those the scan hands on, counted in order as they come.
OverviewResult overview_by_rows(ReadPlan plan, PyObject* progress, PyObject* damaged, const OverviewGrid& grid) {
    ScanRun run(std::move(plan));
    OverviewTable table;
    {
        OverviewSink sink(run.plan(), grid, &table);
        while (std::unique_ptr<ColumnBatch> batch = run.next(progress, damaged)) {
            for (std::size_t r = 0; r < batch->rows; ++r) {
                sink.count_row(batch->signal_id[r], batch->element[r], batch->time[r], batch->value[r]);
            }
            run.recycle(std::move(batch));
        }
        sink.flush();
    }
    OverviewResult merged;
    merged.merge_later(table);
    return merged;
}

}  // namespace

PyObject* overview_call(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* request_object;
        long long buckets = 0;
        int as_arrow = 0;
        PyObject* every = Py_None;  // (origin, width, count): buckets of a given length
        PyObject* starts = Py_None;  // or the buckets' first instants, listed (int64)
        if (!PyArg_ParseTuple(args, "OLp|OO:overview", &request_object, &buckets, &as_arrow, &every, &starts)) fail();
        long long origin = 0, width = 0, count = 0;
        std::vector<int64_t> listed;
        if (starts != Py_None) {
            listed = int64_buffer(starts);
            if (listed.empty() || listed.size() > static_cast<std::size_t>(MAX_BUCKETS) ||
                !std::is_sorted(listed.begin(), listed.end())) {
                PyErr_SetString(PyExc_ValueError, "listed bucket starts: 1 to MAX_BUCKETS, ascending");
                fail();
            }
            buckets = static_cast<long long>(listed.size());
        } else if (every != Py_None) {
            if (!PyArg_ParseTuple(every, "LLL:every", &origin, &width, &count)) fail();
            if (width < 1 || count < 1 || count > MAX_BUCKETS) {
                PyErr_Format(PyExc_ValueError, "buckets of %lld ns make %lld buckets; at most %lld", width, count,
                             MAX_BUCKETS);
                fail();
            }
            buckets = count;
        }
        if (buckets < 1 || buckets > MAX_BUCKETS) {
            PyErr_Format(PyExc_ValueError, "buckets must lie in 1 to %lld, not %lld", MAX_BUCKETS, buckets);
            fail();
        }
        const ScanRequest request = scan_request_from(request_object);
        ReadPlan plan = read_plan(request);
        // The buckets split the scan's own window, whatever narrows its rows,
        // from its start bound on, even one before the archive's first instant,
        // unless they are of a given length from a given origin.
        OverviewGrid grid =
            !listed.empty() ? OverviewGrid(std::move(listed))
            : every != Py_None
                ? OverviewGrid(origin, static_cast<uint64_t>(width), static_cast<uint32_t>(count))
                : OverviewGrid(plan.window, static_cast<uint32_t>(buckets), clipped_lead_ns(request.start));
        grid.time_format = plan.zone.time_format();
        OverviewResult result = plan.counts_rows()
                                    ? overview_by_rows(std::move(plan), request.progress, request.damaged, grid)
                                    : overview_by_file(std::move(plan), request.progress, request.damaged, grid);
        const auto rows = static_cast<int64_t>(result.size());
        std::vector<OwnedColumn> columns = without_gil([&] { return result.finish(grid); });
        if (as_arrow) {
            auto stream = std::make_unique<ArrowArrayStream>();
            export_table_stream(std::move(columns), rows, stream.get());
            return arrow_capsule(std::move(stream));
        }
        // Each column is lent to NumPy as it stands, not copied.
        OwnedRef out = OwnedRef::checked(PyDict_New());
        for (OwnedColumn& c : columns) {
            OwnedRef bytes = lent_bytes(std::move(c.bytes));
            if (PyDict_SetItemString(out.get(), c.name.c_str(), bytes.get()) != 0) fail();
        }
        return out.release();
    });
}

}  // namespace zentrail
