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

// A whole column's memory, uninitialised until the grid is written into it.
struct WholeColumn {
    std::shared_ptr<uint8_t[]> memory;
    std::size_t bytes;
};

// The grid rows of an aligned read written in place into whole columns, as
// a source of a RunLoop: the columns are made once the read knows them.
struct InPlace {
    enum class Next { Ready, Waiting, Finished };
    InPlace(AlignedRead& read, uint64_t max_cells, bool sources) : read(read), max_cells(max_cells), sources(sources) {}
    AlignedRead& read;
    uint64_t max_cells;
    bool sources;  // the rows' instants too
    bool refused = false;  // more cells than max_cells
    std::vector<WholeColumn> whole;  // times, values, then rows and nexts by column
    GridTarget target;

    Next next(std::size_t* written, std::chrono::milliseconds wait) {
        if (!target.times) {
            if (!read.prepare(wait)) return Next::Waiting;
            const std::size_t count = read.columns().size();
            const uint64_t rows = read.grid_count();
            if (rows > max_cells / (count + 1)) {
                refused = true;
                return Next::Finished;
            }
            const auto n = static_cast<std::size_t>(rows);
            const auto column = [this, n] {
                whole.push_back(WholeColumn{std::shared_ptr<uint8_t[]>(new uint8_t[n * 8]), n * 8});
                return whole.back().memory.get();
            };
            target.times = reinterpret_cast<int64_t*>(column());
            for (std::size_t k = 0; k < count; ++k) target.values.push_back(reinterpret_cast<double*>(column()));
            for (std::size_t k = 0; sources && k < count; ++k) {
                target.row_times.push_back(reinterpret_cast<int64_t*>(column()));
                target.next_row_times.push_back(reinterpret_cast<int64_t*>(column()));
            }
        }
        switch (read.next_into(&target, 1, SIZE_MAX, written, wait)) {
            case AlignedRead::Next::Ready: return Next::Ready;
            case AlignedRead::Next::Waiting: return Next::Waiting;
            default: return Next::Finished;
        }
    }
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
        // Whole columns, allocated once at the grid's length when the
        // columns are known and written in place: no batch copied, no page
        // touched twice (neither zeroed first nor grown).
        InPlace in_place(*read, max_cells, align_args(series).grid.row_times);
        std::size_t written = 0, total = 0;
        while (loop.next(in_place, &written)) total += written;
        OwnedRef names = names_of(read->columns());
        if (in_place.refused) {
            // A grid of more cells than asked for is refused before it is filled.
            return OwnedRef::checked(PyTuple_Pack(3, names.get(), Py_None, Py_None)).release();
        }
        const std::size_t count = read->columns().size();
        const bool sources = in_place.sources;
        std::vector<WholeColumn>& whole = in_place.whole;
        // Every grid row is handed on by the end; a shorter grid lends what it has.
        for (WholeColumn& c : whole) c.bytes = std::min(c.bytes, total * 8);
        const auto lent = [&whole](std::size_t i) { return lent_memory(whole[i].memory, whole[i].memory.get(), whole[i].bytes); };
        const auto list = [&lent](std::size_t first, std::size_t step, std::size_t size) {
            OwnedRef out = OwnedRef::checked(PyList_New(static_cast<Py_ssize_t>(size)));
            for (std::size_t k = 0; k < size; ++k) {
                PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), lent(first + k * step).release());
            }
            return out;
        };
        OwnedRef time_column = lent(0);
        OwnedRef columns = list(1, 1, count);
        if (!sources) {
            return OwnedRef::checked(PyTuple_Pack(3, names.get(), time_column.get(), columns.get())).release();
        }
        OwnedRef row_list = list(1 + count, 2, count);
        OwnedRef next_list = list(2 + count, 2, count);
        return OwnedRef::checked(
                   PyTuple_Pack(5, names.get(), time_column.get(), columns.get(), row_list.get(), next_list.get()))
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
