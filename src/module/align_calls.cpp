#include "module/align_calls.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "module/arrow_capsules.h"
#include "module/column_buffer.h"
#include "module/errors.h"
#include "module/gil.h"
#include "module/named_fields.h"
#include "module/owned_ref.h"
#include "module/run_loop.h"
#include "module/scan_request.h"
#include "module/series_request.h"
#include "scan/aligned_read.h"
#include "scan/aligned_stream.h"

namespace zentrail {

namespace {

[[noreturn]] void fail() { throw PythonErrorAlreadySet{}; }

// Whole grid columns reserved at the start at most; longer ones grow.
constexpr uint64_t MAX_RESERVED_ROWS = uint64_t{1} << 22;

struct AlignArgs {
    SeriesGrid grid;
    int64_t first = 0;
    int64_t last = 0;
};

// The grid by its fields' names (zentrail._series.window.SeriesGrid): no
// limit on a side of the rows considered, nor on the gap, is None; so are
// linear_codes unless the grid is of both kinds (an int32 buffer of the
// codes interpolated).
AlignArgs align_args(PyObject* series) {
    AlignArgs a;
    NamedFields fields(series);
    const long long start = fields.integer("start");
    const long long end = fields.integer("end");
    const long long every = fields.integer("every");
    const bool linear = fields.truth("linear");
    PyObject* linear_codes = fields["linear_codes"];
    const long long max_gap = fields.integer_or("max_gap", -1);
    const long long first = fields.integer_or("first", INT64_MIN);
    const long long last = fields.integer_or("last", INT64_MAX);
    PyObject* times = fields["times"];
    const bool row_times = fields.truth("row_times");
    if (every <= 0 || end < start) {
        PyErr_SetString(PyExc_ValueError, "a series needs a step above zero and a window that holds time");
        fail();
    }
    a.grid = SeriesGrid{start, end, every, linear, {}, max_gap, nullptr, row_times};
    if (times != Py_None) {
        // Instants listed one by one: ascending, within the window.
        auto listed = std::make_shared<std::vector<int64_t>>(int64_buffer(times));
        if (listed->empty() || !std::is_sorted(listed->begin(), listed->end()) || listed->front() < start ||
            listed->back() > end) {
            PyErr_SetString(PyExc_ValueError, "a grid's listed instants must be ascending, within its window");
            fail();
        }
        a.grid.times = std::move(listed);
    }
    if (linear_codes != Py_None) {
        a.grid.linear_codes = codes_from(linear_codes);
        std::sort(a.grid.linear_codes.begin(), a.grid.linear_codes.end());
    }
    a.first = first;
    a.last = last;
    return a;
}

std::unique_ptr<AlignedRead> aligned_read(PyObject* request_object, PyObject* series, ScanRequest* request) {
    *request = scan_request_from(request_object);
    const AlignArgs a = align_args(series);
    return std::make_unique<AlignedRead>(series_request(*request, a.first, a.grid.start, a.last), a.grid);
}

OwnedRef names_of(const CodeColumns& columns) {
    OwnedRef names = OwnedRef::checked(PyList_New(static_cast<Py_ssize_t>(columns.size())));
    for (std::size_t k = 0; k < columns.size(); ++k) {
        const std::string name = code_column_name(columns.code(k));
        PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(k),
                        OwnedRef::checked(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())))
                            .release());
    }
    return names;
}

// The passes of an aligned read before its rows, as a source of a RunLoop:
// finished once the columns are known.
struct Passes {
    enum class Next { Ready, Waiting, Finished };
    AlignedRead& read;
    Next next(int*, std::chrono::milliseconds wait) { return read.prepare(wait) ? Next::Finished : Next::Waiting; }
    int64_t bytes_read() const { return read.bytes_read(); }
    std::vector<DamagedFile> take_damaged() { return read.take_damaged(); }
};

}  // namespace

PyObject* align_call(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *request_object, *series, *on_batch = Py_None, *max_cells_object = Py_None;
        if (!PyArg_ParseTuple(args, "OO|OO:align", &request_object, &series, &on_batch, &max_cells_object)) fail();
        uint64_t max_cells = UINT64_MAX;
        if (max_cells_object != Py_None) {
            max_cells = PyLong_AsUnsignedLongLong(max_cells_object);
            if (PyErr_Occurred()) fail();
        }
        ScanRequest request;
        std::unique_ptr<AlignedRead> read = aligned_read(request_object, series, &request);
        RunLoop loop(request.progress, read->bytes_total());
        AlignedBatch batch;
        if (on_batch != Py_None) {
            OwnedRef names;
            while (loop.next(*read, &batch)) {
                if (!names) names = names_of(read->columns());
                OwnedRef values = OwnedRef::checked(PyList_New(static_cast<Py_ssize_t>(batch.values.size())));
                for (std::size_t k = 0; k < batch.values.size(); ++k) {
                    PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(k),
                                    lent_bytes(std::move(batch.values[k])).release());
                }
                OwnedRef times = lent_bytes(std::move(batch.times));
                OwnedRef result = OwnedRef::steal(
                    PyObject_CallFunctionObjArgs(on_batch, names.get(), times.get(), values.get(), nullptr));
                if (!result) fail();
                batch = AlignedBatch{};
            }
            Py_RETURN_NONE;
        }
        // Whole columns, each batch copied in as it comes.
        std::vector<uint8_t> times;
        std::vector<std::vector<uint8_t>> values;
        std::vector<std::vector<uint8_t>> row_times, next_row_times;  // when the grid asks for them
        const auto append = [](std::vector<std::vector<uint8_t>>& whole, const std::vector<std::vector<uint8_t>>& part) {
            whole.resize(part.size());
            for (std::size_t k = 0; k < part.size(); ++k) whole[k].insert(whole[k].end(), part[k].begin(), part[k].end());
        };
        const auto buffers = [](std::vector<std::vector<uint8_t>>& whole) {
            OwnedRef list = OwnedRef::checked(PyList_New(static_cast<Py_ssize_t>(whole.size())));
            for (std::size_t k = 0; k < whole.size(); ++k) {
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), lent_bytes(std::move(whole[k])).release());
            }
            return list;
        };
        while (loop.next(*read, &batch)) {
            if (times.empty()) {
                // The columns are known now: a grid of more cells than asked
                // for is refused before its columns are filled.
                const uint64_t rows = align_args(series).grid.grid_count();
                if (rows > max_cells / (read->columns().size() + 1)) {
                    OwnedRef names = names_of(read->columns());
                    return OwnedRef::checked(PyTuple_Pack(3, names.get(), Py_None, Py_None)).release();
                }
                const auto reserve = static_cast<std::size_t>(std::min<uint64_t>(rows, MAX_RESERVED_ROWS));
                times.reserve(reserve * sizeof(int64_t));
                values.resize(batch.values.size());
                for (auto& column : values) column.reserve(reserve * sizeof(double));
            }
            times.insert(times.end(), batch.times.begin(), batch.times.end());
            for (std::size_t k = 0; k < values.size(); ++k) {
                values[k].insert(values[k].end(), batch.values[k].begin(), batch.values[k].end());
            }
            append(row_times, batch.row_times);
            append(next_row_times, batch.next_row_times);
        }
        OwnedRef names = names_of(read->columns());
        values.resize(read->columns().size());
        OwnedRef columns = buffers(values);
        OwnedRef time_column = lent_bytes(std::move(times));
        if (!align_args(series).grid.row_times) {
            return OwnedRef::checked(PyTuple_Pack(3, names.get(), time_column.get(), columns.get())).release();
        }
        row_times.resize(values.size());
        next_row_times.resize(values.size());
        OwnedRef rows = buffers(row_times);
        OwnedRef nexts = buffers(next_row_times);
        return OwnedRef::checked(PyTuple_Pack(5, names.get(), time_column.get(), columns.get(), rows.get(), nexts.get()))
            .release();
    });
}

PyObject* align_columns_call(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *request_object, *series;
        if (!PyArg_ParseTuple(args, "OO:align_columns", &request_object, &series)) fail();
        ScanRequest request;
        std::unique_ptr<AlignedRead> read = aligned_read(request_object, series, &request);
        // Only the passes before the rows: no progress told (the read is not
        // the whole of it), a signal felt as in any read.
        RunLoop loop(nullptr, read->bytes_total());
        Passes passes{*read};
        int nothing = 0;
        while (loop.next(passes, &nothing)) {
        }
        return names_of(read->columns()).release();
    });
}

PyObject* code_column_name_call(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        const long code = PyLong_AsLong(arg);
        if (code == -1 && PyErr_Occurred()) fail();
        if (code < 0 || code > 65535L * 1024 + 1023) {
            PyErr_Format(PyExc_ValueError, "a code lies in 0 to %ld, not %ld", 65535L * 1024 + 1023, code);
            fail();
        }
        const std::string name = code_column_name(static_cast<int32_t>(code));
        return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    });
}

PyObject* align_stream_call(PyObject*, PyObject* args) {
    return guarded([&] {
        PyObject *request_object, *series;
        if (!PyArg_ParseTuple(args, "OO:align_stream", &request_object, &series)) fail();
        ScanRequest request;
        std::unique_ptr<AlignedRead> read = aligned_read(request_object, series, &request);
        auto stream = std::make_unique<ArrowArrayStream>();
        export_aligned_stream(std::move(read), RunLoop::stream_signal_check(), stream.get());
        return arrow_capsule(std::move(stream));
    });
}

}  // namespace zentrail
