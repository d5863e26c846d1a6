#include "module/read_iterator.h"

#include <unistd.h>

#include <utility>

#include "module/errors.h"
#include "module/heap_type.h"
#include "module/owned_ref.h"

namespace zentrail {

namespace {

// The read is advanced by one caller at a time: next() may release the
// interpreter lock while it waits, and a second caller (another thread, or
// the progress callable of the first) is refused rather than let into a read
// that is moving. A child process forked during a read inherits it without
// its worker threads: it may neither use nor end it.
struct ReadIterator {
    PyObject_HEAD
    BatchRead* read;     // null once the iteration has ended
    PyObject* progress;  // a callable, or null
    PyObject* damaged;   // a callable, or null
    const char* what;
    pid_t owner;         // the process whose threads serve the read
    bool busy;
};

PyTypeObject* read_iterator_type = nullptr;

void end_read(ReadIterator* it) {
    BatchRead* read = std::exchange(it->read, nullptr);
    // In a forked child the workers do not exist: joining them would wait for
    // ever, so the read's memory is left to the child's exit.
    if (read != nullptr && it->owner == ::getpid()) delete read;
}

int iterator_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* it = reinterpret_cast<ReadIterator*>(self);
    Py_VISIT(it->progress);
    Py_VISIT(it->damaged);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int iterator_clear(PyObject* self) {
    auto* it = reinterpret_cast<ReadIterator*>(self);
    Py_CLEAR(it->progress);
    Py_CLEAR(it->damaged);
    return 0;
}

void iterator_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    end_read(reinterpret_cast<ReadIterator*>(self));
    iterator_clear(self);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* iterator_next(PyObject* self) {
    auto* it = reinterpret_cast<ReadIterator*>(self);
    if (it->read == nullptr) return nullptr;
    if (it->owner != ::getpid()) {
        PyErr_Format(PyExc_RuntimeError,
                     "this %s was started in another process, before a fork; iterate afresh in this one",
                     it->what);
        return nullptr;
    }
    if (it->busy) {
        PyErr_Format(PyExc_RuntimeError,
                     "this iterator of a %s is already being advanced (by another thread, or from its own "
                     "progress callable); one iterator serves one consumer at a time",
                     it->what);
        return nullptr;
    }
    it->busy = true;
    PyObject* batch = guarded([&]() -> PyObject* {
        // Held for the call: the collector may clear the iterator's own
        // references while the lock is released.
        OwnedRef progress = OwnedRef::new_reference(it->progress);
        OwnedRef damaged = OwnedRef::new_reference(it->damaged);
        // A failure ends the iteration; the workers stop before it is raised.
        return cleaning_up_on_failure(
            [&] {
                PyObject* next = it->read->next(progress.get(), damaged.get());
                if (next == nullptr) end_read(it);
                return next;
            },
            [&] { end_read(it); });
    });
    it->busy = false;
    return batch;
}

PyType_Slot read_iterator_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(iterator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(iterator_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {Py_tp_doc, const_cast<char*>("One read of a zentrail.Scan or zentrail.Events, batch by batch.")},
    {0, nullptr},
};

PyType_Spec read_iterator_layout = {"zentrail._core.ReadIterator", sizeof(ReadIterator), 0,
                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | MODULE_MADE, read_iterator_slots};

}  // namespace

bool make_read_iterator_type(PyObject* module) {
    read_iterator_type = make_heap_type(module, &read_iterator_layout);
    if (read_iterator_type == nullptr) return false;
    Py_INCREF(read_iterator_type);
    if (PyModule_AddObject(module, "ReadIterator", reinterpret_cast<PyObject*>(read_iterator_type)) < 0) {
        Py_DECREF(read_iterator_type);
        return false;
    }
    return true;
}

PyObject* new_read_iterator(std::unique_ptr<BatchRead> read, PyObject* progress, PyObject* damaged,
                            const char* what) {
    OwnedRef object = OwnedRef::checked(PyType_GenericAlloc(read_iterator_type, 0));
    auto* it = reinterpret_cast<ReadIterator*>(object.get());
    it->read = read.release();
    it->progress = OwnedRef::new_reference(progress).release();
    it->damaged = OwnedRef::new_reference(damaged).release();
    it->what = what;
    it->owner = ::getpid();
    it->busy = false;
    return object.release();
}

}  // namespace zentrail
