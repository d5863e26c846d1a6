// The one place where C++ failures become Python exceptions: every entry
// point of the module runs its body through `guarded`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

namespace zentrail {

// Where a failure inside an archive file says which file and byte. `read`
// keeps the system's own messages ("Error occured while reading file.")
// and says them in a note; every other read says them in the message
// itself, which a log that drops notes still shows.
enum class FilePlace { in_message, in_note };

// Sets the Python exception that matches the C++ exception being handled.
// Call only from inside a catch block.
void raise_current_exception_in_python(FilePlace place = FilePlace::in_message) noexcept;

// Runs `body` (which returns a new reference, or null with an exception
// set) and turns any C++ failure into the Python exception. The unwinding
// with which the interpreter ends a thread at exit passes through.
template <typename Body>
PyObject* guarded(Body&& body, FilePlace place = FilePlace::in_message) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        raise_current_exception_in_python(place);
        return nullptr;
    }
}

}  // namespace zentrail
