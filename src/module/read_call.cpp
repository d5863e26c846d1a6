#include "module/read_call.h"

#include <cstring>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

#include "archive/parser.h"
#include "archive/read_errors.h"
#include "module/signal_monitor.h"
#include "module/owned_ref.h"
#include "output/exporter.h"
#include "selection/explorer.h"
#include "selection/filter.h"
#include "selection/filter_from_list.h"

namespace zentrail {

namespace {

// "YYYY-MM-DD hh:mm:ss" exactly: the form for which the text comparison of
// the file-name test agrees with the window.
bool is_plain_bound(const char* text) {
    static constexpr char SHAPE[] = "dddd-dd-dd dd:dd:dd";
    for (int i = 0; i < 19; ++i) {
        const char c = text[i];
        if (SHAPE[i] == 'd' ? !(c >= '0' && c <= '9') : c != SHAPE[i]) return false;
    }
    return text[19] == '\0';
}

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

    PathList paths;
    Explorer(dt_start, dt_end).explore(root_dir, &paths, &monitor);

    OwnedRef result = OwnedRef::checked(PyList_New(0));
    if (!paths.empty() && !filter.isEmpty()) {
        sort_archive_paths(&paths);
        Exporter exporter(result.get(), &filter);
        Parser parser(&filter);
        parser.set_monitor(&monitor);
        parser.exportFiles(&exporter, &paths);
    }
    return result.release();
}

namespace {

// Adds a PEP 678 note (shown in tracebacks, str() unchanged). Before Python
// 3.11 there is no add_note, so the __notes__ list is set directly.
void add_note(PyObject* exception, PyObject* note) {
    OwnedRef added = OwnedRef::steal(PyObject_CallMethod(exception, "add_note", "O", note));
    if (added) return;
    PyErr_Clear();
    OwnedRef notes = OwnedRef::steal(PyList_New(0));
    if (notes && PyList_Append(notes.get(), note) == 0) {
        if (PyObject_SetAttrString(exception, "__notes__", notes.get()) == 0) return;
    }
    PyErr_Clear();
}

// Paths (and texts that quote them) are bytes that need not be UTF-8: they
// are decoded as the interpreter decodes file names.
OwnedRef decoded_file_name(const char* text) { return OwnedRef::steal(PyUnicode_DecodeFSDefault(text)); }

// Raises `exception` (a new instance) as the current error, with a note.
void raise_with_note(OwnedRef exception, PyObject* note) {
    if (!exception) return;  // its construction set the error already
    if (note != nullptr) add_note(exception.get(), note);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
}

// OSError(errno, text) yields the subclass that matches the error number
// (FileNotFoundError, PermissionError, ...). The instance is remade with the
// message alone so that str() is exactly the message, and errno is set.
OwnedRef os_error_with_message(int os_error, const char* message) {
    OwnedRef probe = OwnedRef::steal(PyObject_CallFunction(PyExc_OSError, "is", os_error, message));
    if (!probe) return probe;
    OwnedRef exception =
        OwnedRef::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(Py_TYPE(probe.get())), "s", message));
    if (!exception) return exception;
    OwnedRef number = OwnedRef::steal(PyLong_FromLong(os_error));
    if (!number || PyObject_SetAttrString(exception.get(), "errno", number.get()) != 0) PyErr_Clear();
    return exception;
}

// The message stays the system's own; the note says what the system said.
// (No `filename`: with one, OSError's str() would no longer be the message.)
void raise_file_open_error(const FileOpenError& e) {
    OwnedRef path = decoded_file_name(e.path.c_str());
    OwnedRef reason = decoded_file_name(std::strerror(e.os_error));
    OwnedRef note = path && reason ? OwnedRef::steal(PyUnicode_FromFormat("archive file %R: [Errno %d] %U", path.get(),
                                                                          e.os_error, reason.get()))
                                   : OwnedRef();
    PyErr_Clear();
    raise_with_note(os_error_with_message(e.os_error, e.what()), note.get());
}

void raise_file_read_error(const FileReadError& e) {
    OwnedRef path = decoded_file_name(e.path.c_str());
    OwnedRef note = path ? OwnedRef::steal(PyUnicode_FromFormat("archive file %R, read failed at byte %lld",
                                                                 path.get(), static_cast<long long>(e.offset)))
                         : OwnedRef();
    OwnedRef reason = decoded_file_name(std::strerror(e.os_error));
    if (!reason) return;  // its decoding set the error
    PyErr_Clear();
    // OSError(errno, text) is the subclass of the error number, with errno
    // and strerror set.
    raise_with_note(OwnedRef::steal(PyObject_CallFunction(PyExc_OSError, "iO", e.os_error, reason.get())),
                    note.get());
}

void raise_file_format_error(const FileFormatError& e) {
    OwnedRef path = decoded_file_name(e.path.c_str());
    OwnedRef note = path ? OwnedRef::steal(PyUnicode_FromFormat("archive file %R, malformed record at byte %lld",
                                                                 path.get(), static_cast<long long>(e.offset)))
                         : OwnedRef();
    PyErr_Clear();
    raise_with_note(OwnedRef::steal(PyObject_CallFunction(PyExc_ValueError, "s", e.what())), note.get());
}

// OSError(errno, text, path): str() names the path once, after the reason.
void raise_walk_error(const std::filesystem::filesystem_error& e) {
    const std::error_code& code = e.code();
    int os_error = (code.category() == std::generic_category() || code.category() == std::system_category())
                       ? code.value()
                       : 0;
    OwnedRef path = decoded_file_name(e.path1().c_str());
    OwnedRef reason = decoded_file_name(os_error != 0 ? std::strerror(os_error) : e.what());
    OwnedRef note = OwnedRef::steal(PyUnicode_FromString("while searching the tree for archive files"));
    if (!path || !reason || !note) return;
    OwnedRef exception =
        OwnedRef::steal(PyObject_CallFunction(PyExc_OSError, "iOO", os_error, reason.get(), path.get()));
    raise_with_note(std::move(exception), note.get());
}

}  // namespace

void raise_current_exception_in_python() noexcept {
    try {
        throw;
    } catch (const PythonErrorAlreadySet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "a Python call failed without an exception");
    } catch (const FileOpenError& e) {
        raise_file_open_error(e);
    } catch (const FileReadError& e) {
        raise_file_read_error(e);
    } catch (const FileFormatError& e) {
        raise_file_format_error(e);
    } catch (const std::filesystem::filesystem_error& e) {
        raise_walk_error(e);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown failure");
    }
}

}  // namespace zentrail
