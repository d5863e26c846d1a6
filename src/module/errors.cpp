// Error translation for every entry point: what a C++ failure of the core
// becomes in Python. Messages stay the system's own; which file and where
// follows in brackets, or for `read` in a note.
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
OwnedRef os_error_with_message(int os_error, PyObject* message) {
    OwnedRef probe = OwnedRef::steal(PyObject_CallFunction(PyExc_OSError, "iO", os_error, message));
    if (!probe) return probe;
    OwnedRef exception = OwnedRef::steal(
        PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(Py_TYPE(probe.get())), message, nullptr));
    if (!exception) return exception;
    OwnedRef number = OwnedRef::steal(PyLong_FromLong(os_error));
    if (!number || PyObject_SetAttrString(exception.get(), "errno", number.get()) != 0) PyErr_Clear();
    return exception;
}

// `message` with the place of the failure: as a note (`read`), or in the
// message itself, after it in brackets.
OwnedRef placed(const char* message, PyObject* where, FilePlace place) {
    if (place == FilePlace::in_note) return OwnedRef::steal(PyUnicode_FromString(message));
    return OwnedRef::steal(PyUnicode_FromFormat("%s (%U)", message, where));
}

// The message stays the system's own; the place says what the system said.
// (No `filename`: with one, OSError's str() would no longer be the message.)
void raise_file_open_error(const FileOpenError& e, FilePlace place) {
    OwnedRef path = decoded_file_name(e.path.c_str());
    OwnedRef reason = decoded_file_name(std::strerror(e.os_error));
    OwnedRef where = path && reason ? OwnedRef::steal(PyUnicode_FromFormat("archive file %R: [Errno %d] %U",
                                                                           path.get(), e.os_error, reason.get()))
                                    : OwnedRef();
    if (!where) return;  // its making set the error
    OwnedRef message = placed(e.what(), where.get(), place);
    if (!message) return;
    raise_with_note(os_error_with_message(e.os_error, message.get()),
                    place == FilePlace::in_note ? where.get() : nullptr);
}

// "archive file '<path>', <what> at byte <offset>": where in a file a
// failure happened.
OwnedRef place_in_file(const std::string& path, const char* what, int64_t offset, const std::string& counted_in = "") {
    OwnedRef name = decoded_file_name(path.c_str());
    if (!name) return name;
    if (!counted_in.empty()) {
        return OwnedRef::steal(PyUnicode_FromFormat("archive file %R, %s at byte %lld of %s", name.get(), what,
                                                    static_cast<long long>(offset), counted_in.c_str()));
    }
    return OwnedRef::steal(
        PyUnicode_FromFormat("archive file %R, %s at byte %lld", name.get(), what, static_cast<long long>(offset)));
}

void raise_file_read_error(const FileReadError& e, FilePlace place) {
    OwnedRef where = place_in_file(e.path, "read failed", e.offset);
    if (!where) return;  // its making set the error
    OwnedRef reason = placed(std::strerror(e.os_error), where.get(), place);
    if (!reason) return;
    // OSError(errno, text) is the subclass of the error number, with errno
    // and strerror set.
    raise_with_note(OwnedRef::steal(PyObject_CallFunction(PyExc_OSError, "iO", e.os_error, reason.get())),
                    place == FilePlace::in_note ? where.get() : nullptr);
}

void raise_file_format_error(const FileFormatError& e, FilePlace place) {
    OwnedRef where = place_in_file(e.path, e.reason.c_str(), e.offset, e.counted_in);
    if (!where) return;
    OwnedRef message = placed(e.what(), where.get(), place);
    if (!message) return;
    raise_with_note(OwnedRef::steal(PyObject_CallFunctionObjArgs(PyExc_ValueError, message.get(), nullptr)),
                    place == FilePlace::in_note ? where.get() : nullptr);
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

void raise_current_exception_in_python(FilePlace place) noexcept {
    try {
        throw;
    } catch (const PythonErrorAlreadySet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "a Python call failed without an exception");
    } catch (const FileOpenError& e) {
        raise_file_open_error(e, place);
    } catch (const FileReadError& e) {
        raise_file_read_error(e, place);
    } catch (const FileFormatError& e) {
        raise_file_format_error(e, place);
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
