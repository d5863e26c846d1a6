// Arrow C structures handed to Python in the capsules of the Arrow PyCapsule
// interface ("arrow_array_stream", "arrow_schema"): the capsule owns the
// structure and releases it when Python drops the capsule unused.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "module/owned_ref.h"
#include "scan/arrow_c_data.h"

namespace zentrail {

namespace capsule_parts {

template <typename T> constexpr const char* capsule_name();
template <> constexpr const char* capsule_name<ArrowArrayStream>() { return "arrow_array_stream"; }
template <> constexpr const char* capsule_name<ArrowSchema>() { return "arrow_schema"; }

template <typename T>
void release_capsule(PyObject* capsule) {
    auto* held = static_cast<T*>(PyCapsule_GetPointer(capsule, capsule_name<T>()));
    if (held == nullptr) {
        PyErr_Clear();
        return;
    }
    // A consumer that took the structure over has set release to null.
    if (held->release != nullptr) held->release(held);
    delete held;
}

}  // namespace capsule_parts

// A new capsule owning `held` (a filled stream or schema); throws
// PythonErrorAlreadySet, after releasing it, when the capsule cannot be made.
template <typename T>
PyObject* arrow_capsule(std::unique_ptr<T> held) {
    PyObject* capsule =
        PyCapsule_New(held.get(), capsule_parts::capsule_name<T>(), capsule_parts::release_capsule<T>);
    if (capsule == nullptr) {
        held->release(held.get());
        throw PythonErrorAlreadySet{};
    }
    held.release();
    return capsule;
}

}  // namespace zentrail
