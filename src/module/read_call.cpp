#include "module/read_call.h"

#include <string>

#include "archive/parser.h"
#include "module/owned_ref.h"
#include "module/read_tuple_sink.h"
#include "module/signal_code_list.h"
#include "module/signal_monitor.h"
#include "selection/explorer.h"
#include "selection/filter.h"
#include "time/text_shape.h"

namespace zentrail {

namespace {

// "YYYY-MM-DD hh:mm:ss" exactly: the form for which the text comparison of
// the file-name test agrees with the window.
bool is_plain_bound(const char* text) { return matches_shape(text, "dddd-dd-dd dd:dd:dd") && text[19] == '\0'; }

// Both silent drops of a call stay as they are (stored scripts may rely on
// them), but are said once, through the warnings machinery.
void warn_about_dropped_requests(const char* dt_start, const char* dt_end, PyObject* signals) {
    std::string message;
    const Py_ssize_t ignored = PyList_GET_SIZE(signals) - MAX_SIGNAL_CODES;
    if (ignored > 0) {
        message = "zentrail.read uses the first " + std::to_string(MAX_SIGNAL_CODES) + " signal codes; the " +
                  std::to_string(ignored) + " after them were ignored";
    }
    const bool plain_start = is_plain_bound(dt_start);
    const bool plain_end = is_plain_bound(dt_end);
    if (!plain_start || !plain_end) {
        if (!message.empty()) message += "; ";
        message += !plain_start && !plain_end ? "dt_start and dt_end are" : !plain_start ? "dt_start is" : "dt_end is";
        message +=
            " not written \"YYYY-MM-DD hh:mm:ss\": archive file names are tested against the bounds as texts, "
            "so the files of days at the window's edge may be skipped";
    }
    if (message.empty()) return;
    if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) != 0) throw PythonErrorAlreadySet{};
}

}  // namespace

PyObject* read_archives(const char* root_dir, const char* dt_start, const char* dt_end, PyObject* signals) {
    Filter filter(dt_start, dt_end);
    add_signal_codes(&filter, signals);
    warn_about_dropped_requests(dt_start, dt_end, signals);
    SignalMonitor monitor;

    const PathList paths = find_archive_files(root_dir, dt_start, dt_end, &monitor);

    OwnedRef result = OwnedRef::checked(PyList_New(0));
    if (!paths.empty() && !filter.isEmpty()) {
        ReadTupleSink sink(result.get(), &filter);
        Parser parser(&filter);
        parser.set_monitor(&monitor);
        parser.exportFiles(&sink, &paths);
    }
    return result.release();
}

}  // namespace zentrail
