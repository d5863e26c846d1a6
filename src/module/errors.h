// The one place where C++ failures become Python exceptions: every entry
// point of the module runs its body through `guarded`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>

#include "module/owned_ref.h"

namespace zentrail {

// Where a failure inside an archive file says which file and byte. `read`
// keeps the system's own messages ("Error occured while reading file.")
// and says them in a note; every other read says them in the message
// itself, which a log that drops notes still shows.
enum class FilePlace { in_message, in_note };

// Sets the Python exception that matches the C++ exception being handled.
// Call only from inside a catch block.
void raise_current_exception_in_python(FilePlace place = FilePlace::in_message) noexcept;

// Every failure of this library is a PythonErrorAlreadySet or a
// std::exception, and its handlers name those two rather than catch (...):
// the unwinding with which CPython ends a daemon thread at exit
// (pthread_exit, from inside PyEval_RestoreThread) must pass through
// untouched, and a catch-all cannot hand it on under every C++ runtime
// (libc++abi, the released wheel's, takes it for an uncaught exception when
// rethrown, and the process aborts).

// Runs `body` (which returns a new reference, or null with an exception
// set) and turns a failure into the Python exception.
template <typename Body>
PyObject* guarded(Body&& body, FilePlace place = FilePlace::in_message) {
    try {
        return body();
    } catch (const PythonErrorAlreadySet&) {
        raise_current_exception_in_python(place);
    } catch (const std::exception&) {
        raise_current_exception_in_python(place);
    }
    return nullptr;
}

// Runs `body`; when it fails, runs `cleanup` and lets the failure go on.
template <typename Body, typename Cleanup>
auto cleaning_up_on_failure(Body&& body, Cleanup&& cleanup) -> decltype(body()) {
    try {
        return body();
    } catch (const PythonErrorAlreadySet&) {
        cleanup();
        throw;
    } catch (const std::exception&) {
        cleanup();
        throw;
    }
}

}  // namespace zentrail
