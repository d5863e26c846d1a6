// Error translation for every entry point: what a C++ failure of the core
// becomes in Python. Messages stay the system's own; notes say which file
// and where.
#include "module/errors.h"

#include <cstring>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

#include "archive/read_errors.h"
#include "module/owned_ref.h"

namespace zentrail {

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

// A failure inside a file: `exception` with a note naming the file and
// the byte at which `what` happened.
void raise_in_file(OwnedRef exception, const std::string& path, const char* what, int64_t offset) {
    if (!exception) return;  // its construction set the error
    OwnedRef name = decoded_file_name(path.c_str());
    OwnedRef note = name ? OwnedRef::steal(PyUnicode_FromFormat("archive file %R, %s at byte %lld", name.get(), what,
                                                                 static_cast<long long>(offset)))
                         : OwnedRef();
    PyErr_Clear();
    raise_with_note(std::move(exception), note.get());
}

void raise_file_read_error(const FileReadError& e) {
    OwnedRef reason = decoded_file_name(std::strerror(e.os_error));
    if (!reason) return;  // its decoding set the error
    // OSError(errno, text) is the subclass of the error number, with errno
    // and strerror set.
    raise_in_file(OwnedRef::steal(PyObject_CallFunction(PyExc_OSError, "iO", e.os_error, reason.get())), e.path,
                  "read failed", e.offset);
}

void raise_file_format_error(const FileFormatError& e) {
    raise_in_file(OwnedRef::steal(PyObject_CallFunction(PyExc_ValueError, "s", e.what())), e.path, "malformed record",
                  e.offset);
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

// What the core could not get from the system (a worker thread, say):
// OSError(errno, "what failed: why").
void raise_system_error(const std::system_error& e) {
    const int os_error = e.code().category() == std::generic_category() || e.code().category() == std::system_category()
                             ? e.code().value()
                             : 0;
    PyErr_SetObject(PyExc_OSError, OwnedRef::steal(Py_BuildValue("(is)", os_error, e.what())).get());
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
    } catch (const std::system_error& e) {
        raise_system_error(e);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown failure");
    }
}

}  // namespace zentrail
