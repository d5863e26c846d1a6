#include "module/scan_run.h"

#include <sys/stat.h>

#include "module/signal_monitor.h"
#include "selection/explorer.h"

namespace zentrail {

namespace {

// How long a wait for the workers lasts before the consuming thread looks
// for pending signals again: well under the 100 ms a person notices.
constexpr std::chrono::milliseconds SIGNAL_CHECK_INTERVAL{20};
// At most this often is progress reported.
constexpr std::chrono::milliseconds PROGRESS_INTERVAL{100};

// Releases the interpreter lock for its lifetime; nothing inside may touch
// a Python object.
class LockReleased {
public:
    LockReleased() : state(PyEval_SaveThread()) {}
    ~LockReleased() { PyEval_RestoreThread(state); }
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;

private:
    PyThreadState* state;
};

int64_t size_of_files(const PathList& paths) {
    int64_t total = 0;
    for (const std::string& path : paths) {
        struct stat status;
        if (::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) total += status.st_size;
    }
    return total;
}

OwnedRef progress_bar(int64_t total) {
    OwnedRef tqdm = OwnedRef::steal(PyImport_ImportModule("tqdm"));
    if (!tqdm) {
        PyErr_SetString(PyExc_ImportError,
                        "progress=True draws a tqdm bar, and tqdm is not installed: pip install \"zentrail[progress]\"");
        throw PythonErrorAlreadySet{};
    }
    OwnedRef sys = OwnedRef::checked(PyImport_ImportModule("sys"));
    OwnedRef stderr_file = OwnedRef::checked(PyObject_GetAttrString(sys.get(), "stderr"));
    OwnedRef make = OwnedRef::checked(PyObject_GetAttrString(tqdm.get(), "tqdm"));
    OwnedRef args = OwnedRef::checked(PyTuple_New(0));
    OwnedRef kwargs = OwnedRef::checked(Py_BuildValue("{s:L,s:s,s:O,s:O,s:i}", "total", static_cast<long long>(total),
                                                      "unit", "B", "unit_scale", Py_True, "file",
                                                      stderr_file.get(), "unit_divisor", 1024));
    return OwnedRef::checked(PyObject_Call(make.get(), args.get(), kwargs.get()));
}

}  // namespace

PathList scan_paths(const ScanRequest& request) {
    if (request.listed) return request.paths;
    PathList paths;
    SignalMonitor monitor;
    Explorer(request.dt_start.c_str(), request.dt_end.c_str()).explore(request.root_dir.c_str(), &paths, &monitor);
    sort_archive_paths(&paths);
    return paths;
}

ScanRun::ScanRun(const ScanRequest& request) : filter(request.dt_start.c_str(), request.dt_end.c_str(), -1) {
    for (int32_t code : request.codes) filter.addId(code);
    PathList paths = scan_paths(request);
    // As for read: no selected code, nothing to open.
    if (filter.isEmpty()) paths.clear();
    total_bytes = size_of_files(paths);
    if (request.progress && request.progress.get() == Py_True) {
        progress = progress_bar(total_bytes);
        bar = true;
    } else if (request.progress && request.progress.get() != Py_None && request.progress.get() != Py_False) {
        progress = OwnedRef::new_reference(request.progress.get());
    }
    last_report = std::chrono::steady_clock::now();
    const int threads = request.threads > 0 ? request.threads : usable_cpu_count();
    reader = std::make_unique<ParallelReader>(&filter, std::move(paths), threads, request.batch_rows);
}

ScanRun::~ScanRun() {
    // Stopping and joining the workers needs no Python; others may run.
    if (reader) {
        LockReleased released;
        reader.reset();
    }
    if (bar && progress) {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        OwnedRef closed = OwnedRef::steal(PyObject_CallMethod(progress.get(), "close", nullptr));
        if (!closed) PyErr_Clear();
        PyErr_Restore(type, value, traceback);
    }
}

std::unique_ptr<ColumnBatch> ScanRun::next() {
    if (finished) return nullptr;
    for (;;) {
        std::unique_ptr<ColumnBatch> batch;
        ParallelReader::Next got;
        {
            LockReleased released;
            got = reader->next(&batch, SIGNAL_CHECK_INTERVAL);
        }
        if (PyErr_CheckSignals() != 0) throw PythonErrorAlreadySet{};
        if (got == ParallelReader::Next::Finished) {
            finished = true;
            _report(true);
            return nullptr;
        }
        _report(false);
        if (got == ParallelReader::Next::Batch) return batch;
    }
}

void ScanRun::_report(bool final) {
    if (!progress) return;
    const auto now = std::chrono::steady_clock::now();
    if (!final && now - last_report < PROGRESS_INTERVAL) return;
    last_report = now;
    // The files may have grown since they were measured: never past the total.
    const int64_t done = final ? total_bytes : std::min(reader->bytes_read(), total_bytes);
    if (bar) {
        if (done > reported) {
            OwnedRef r = OwnedRef::checked(
                PyObject_CallMethod(progress.get(), "update", "L", static_cast<long long>(done - reported)));
        }
    } else {
        OwnedRef r = OwnedRef::checked(PyObject_CallFunction(progress.get(), "LL", static_cast<long long>(done),
                                                             static_cast<long long>(total_bytes)));
    }
    reported = done;
}

}  // namespace zentrail
