// Running C++ work with the interpreter lock released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <optional>
#include <type_traits>

namespace zentrail {

// Runs `work`, which must not touch any Python object, with the interpreter
// lock released, and takes the lock back before returning or rethrowing.
// Not a guard object, and the lock is taken back outside any handler: at
// interpreter exit CPython ends a daemon thread from inside
// PyEval_RestoreThread with an unwinding that must pass straight through.
template <typename Work>
auto without_gil(Work&& work) -> decltype(work()) {
    using Result = decltype(work());
    std::exception_ptr failure;
    PyThreadState* state = PyEval_SaveThread();
    if constexpr (std::is_void_v<Result>) {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        PyEval_RestoreThread(state);
        if (failure) std::rethrow_exception(failure);
    } else {
        std::optional<Result> result;
        try {
            result.emplace(work());
        } catch (...) {
            failure = std::current_exception();
        }
        PyEval_RestoreThread(state);
        if (failure) std::rethrow_exception(failure);
        return std::move(*result);
    }
}

}  // namespace zentrail
