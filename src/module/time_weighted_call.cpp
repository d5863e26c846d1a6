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
        PyObject *request_object, *buckets;
        if (!PyArg_ParseTuple(args, "OO:time_weighted", &request_object, &buckets)) fail();
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
        WeightedRead read(series_request(request, first, start, end), span);
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
        std::vector<OwnedColumn> columns = without_gil([&] { return read.columns(); });
        OwnedRef out = OwnedRef::checked(PyDict_New());
        for (OwnedColumn& column : columns) {
            OwnedRef buffer = lent_bytes(std::move(column.bytes));
            if (PyDict_SetItemString(out.get(), column.name.c_str(), buffer.get()) != 0) fail();
        }
        return out.release();
    });
}

}  // namespace zentrail
