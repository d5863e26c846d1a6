#include "module/in_force_call.h"

#include <chrono>
#include <cstdint>
#include <vector>

#include "module/column_buffer.h"
#include "module/errors.h"
#include "module/owned_ref.h"
#include "module/run_loop.h"
#include "module/scan_request.h"
#include "module/series_request.h"
#include "scan/series_feed.h"

namespace zentrail {

namespace {

[[noreturn]] void fail() { throw PythonErrorAlreadySet{}; }

// The passes of the feed before its rows, as a source of a RunLoop.
struct Passes {
    enum class Next { Ready, Waiting, Finished };
    SeriesFeed& feed;
    Next next(int*, std::chrono::milliseconds wait) { return feed.prepare(wait) ? Next::Finished : Next::Waiting; }
    int64_t bytes_read() const { return feed.bytes_read(); }
    // A damaged file stops the read: none is passed over.
    std::vector<DamagedFile> take_damaged() { return {}; }
};

void put(PyObject* dict, const char* name, OwnedRef value) {
    if (PyDict_SetItemString(dict, name, value.get()) != 0) fail();
}

}  // namespace

PyObject* in_force_call(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* request_object;
        long long at = 0;
        if (!PyArg_ParseTuple(args, "OL:in_force", &request_object, &at)) fail();
        const ScanRequest request = scan_request_from(request_object);
        // Every row up to `at` is considered, and none after it: the feed
        // stops once it knows what is in force.
        SeriesFeed feed(series_request(request, INT64_MIN, at, at));
        RunLoop loop(request.progress, feed.bytes_total());
        Passes passes{feed};
        int nothing = 0;
        while (loop.next(passes, &nothing)) {
        }
        const CodeColumns& columns = feed.columns();
        std::vector<int32_t> codes;
        std::vector<int64_t> times;
        std::vector<double> values;
        for (std::size_t k = 0; k < columns.size(); ++k) {
            const SeriesPoint& point = feed.in_force(k);
            if (point.time == INT64_MIN) continue;
            codes.push_back(columns.code(k));
            times.push_back(point.time);
            values.push_back(point.value);
        }
        OwnedRef out = OwnedRef::checked(PyDict_New());
        put(out.get(), "code", lent_values(std::move(codes)));
        put(out.get(), "time", lent_values(std::move(times)));
        put(out.get(), "value", lent_values(std::move(values)));
        return out.release();
    });
}

}  // namespace zentrail
