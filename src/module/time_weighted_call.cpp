#include "module/time_weighted_call.h"

#include <algorithm>
#include <memory>

#include <chrono>
#include <cstdint>
#include <vector>

#include "module/column_buffer.h"
#include "module/errors.h"
#include "module/gil.h"
#include "module/named_fields.h"
#include "module/owned_ref.h"
#include "module/scan_request.h"
#include "module/series_request.h"
#include "module/run_loop.h"
#include "scan/table_arrow.h"
#include "scan/weighted_read.h"

namespace zentrail {

namespace {

[[noreturn]] void fail() { throw PythonErrorAlreadySet{}; }

}  // namespace

PyObject* time_weighted_call(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *request_object, *buckets, *plain_object = Py_None;
        if (!PyArg_ParseTuple(args, "OO|O:time_weighted", &request_object, &buckets, &plain_object)) fail();
        // The buckets by their fields' names (zentrail._series.window.WeightedBuckets).
        NamedFields fields(buckets);
        const long long start = fields.integer("start");
        const long long end = fields.integer("end");
        const long long origin = fields.integer("origin");
        const long long width = fields.integer("width");
        const long long count = fields.integer("count");
        const long long max_gap = fields.integer_or("max_gap", -1);
        const long long first = fields.integer_or("first", INT64_MIN);
        PyObject* starts = fields["starts"];
        if (width <= 0 || count < 1 || count > (1LL << 31) || end < start || origin > start) {
            PyErr_SetString(PyExc_ValueError, "time-weighted buckets need a width above zero and a window that holds time");
            fail();
        }
        const ScanRequest request = scan_request_from(request_object);
        BucketSpan span{origin, width, static_cast<uint32_t>(count), start, end, max_gap, nullptr};
        if (starts != Py_None) {
            auto listed = std::make_shared<std::vector<int64_t>>(int64_buffer(starts));
            if (listed->size() != static_cast<std::size_t>(count) || listed->front() != origin ||
                !std::is_sorted(listed->begin(), listed->end())) {
                PyErr_SetString(PyExc_ValueError, "listed bucket starts: one per bucket, ascending, from the origin");
                fail();
            }
            span.starts = std::move(listed);
        }
        SeriesRequest series = series_request(request, first, start, end);
        // With the plain overview's request (buckets of the span's), the
        // overview of its files is summed up in the same read, when they
        // are the last files of the series' read, in their order (the ones
        // before are read for the value in force at the start alone).
        std::unique_ptr<OverviewGrid> plain_grid;
        std::size_t counted_from = 0;
        if (plain_object != Py_None) {
            const ScanRequest plain_request = scan_request_from(plain_object);
            const ReadPlan plain = read_plan(plain_request);
            const PathList& all = series.paths;
            if (!plain.counts_rows() && !plain.skip_damaged && plain.paths.size() <= all.size() &&
                std::equal(plain.paths.begin(), plain.paths.end(), all.end() - static_cast<std::ptrdiff_t>(plain.paths.size()))) {
                counted_from = all.size() - plain.paths.size();
                plain_grid = span.starts ? std::make_unique<OverviewGrid>(*span.starts)
                                         : std::make_unique<OverviewGrid>(origin, static_cast<uint64_t>(width),
                                                                          static_cast<uint32_t>(count));
                plain_grid->time_format = plain.zone.time_format();
                series.rows_from_start = true;
                series.counted_from = counted_from;
            }
        }
        WeightedRead read(std::move(series), span);
        if (plain_grid) read.count_rows(*plain_grid, counted_from);
        RunLoop loop(request.progress, read.bytes_total());
        struct Steps {
            WeightedRead& read;
            enum class Next { Ready, Waiting, Finished };
            Next next(bool*, std::chrono::milliseconds wait) {
                return read.next(wait) == WeightedRead::Next::Finished ? Next::Finished : Next::Waiting;
            }
            int64_t bytes_read() const { return read.bytes_read(); }
            // A damaged file stops a series read: none is passed over.
            std::vector<DamagedFile> take_damaged() { return {}; }
        } steps{read};
        bool unused = false;
        while (loop.next(steps, &unused)) {
        }
        const auto as_dict = [](std::vector<OwnedColumn> columns) {
            OwnedRef out = OwnedRef::checked(PyDict_New());
            for (OwnedColumn& column : columns) {
                OwnedRef buffer = lent_bytes(std::move(column.bytes));
                if (PyDict_SetItemString(out.get(), column.name.c_str(), buffer.get()) != 0) fail();
            }
            return out;
        };
        OwnedRef weighted = as_dict(without_gil([&] { return read.columns(); }));
        if (plain_object == Py_None) return weighted.release();
        // (weighted, plain): plain None when the files did not line up.
        OwnedRef plain = plain_grid ? as_dict(without_gil([&] { return read.take_overview(); }))
                                    : OwnedRef::checked((Py_INCREF(Py_None), Py_None));
        return OwnedRef::checked(PyTuple_Pack(2, weighted.get(), plain.get())).release();
    });
}

}  // namespace zentrail
