// The arguments of a columnar scan, checked and turned into plain values
// before anything is searched.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "module/owned_ref.h"
#include "selection/path_list.h"

namespace zentrail {

// Rows per batch unless the caller says otherwise: about 1.4 MB of columns,
// large enough that per-batch costs vanish, small enough that the batches
// in flight stay within a few tens of MB.
constexpr std::size_t DEFAULT_BATCH_ROWS = 65536;
// The largest code a scan takes: id 65,535, index 1,023.
constexpr int64_t MAX_SCAN_CODE = 65535LL * 1024 + 1023;

struct ScanRequest {
    std::string root_dir;  // searched when `listed` is false
    bool listed = false;   // the files are `paths`, as given
    PathList paths;
    std::string dt_start;
    std::string dt_end;
    std::vector<int32_t> codes;  // ascending, distinct
    int threads = 0;             // 0: the CPUs this process may use
    std::size_t batch_rows = DEFAULT_BATCH_ROWS;
    OwnedRef progress;           // None, True or a callable
};

// Each throws PythonErrorAlreadySet with a TypeError or ValueError set.
std::string path_argument(PyObject* path);
std::string bound_argument(PyObject* bound, const char* name, bool is_end);
std::vector<int32_t> scan_codes_argument(PyObject* signals);
PathList paths_argument(PyObject* paths);
// None gives `fallback`; otherwise an int of at least 1.
int64_t positive_argument(PyObject* value, const char* name, int64_t fallback);

}  // namespace zentrail
