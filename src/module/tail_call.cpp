#include "module/tail_call.h"

#include <memory>

#include "module/column_buffer.h"
#include "module/errors.h"
#include "module/gil.h"
#include "module/owned_ref.h"
#include "module/scan_request.h"
#include "scan/column_store.h"
#include "scan/tail_reader.h"

namespace zentrail {

PyObject* tail_read(PyObject*, PyObject* args) {
    PyObject* request_args = nullptr;
    PyObject* path_object = nullptr;
    long long offset = 0, max_bytes = 0;
    unsigned long day = 0;
    unsigned int id = 0;
    if (!PyArg_ParseTuple(args, "O!OLkIL:tail_read", &PyTuple_Type, &request_args, &path_object, &offset, &day, &id,
                          &max_bytes)) {
        return nullptr;
    }
    return guarded([&] {
        if (offset < 0 || day > 0xFFFFu || id > 0xFFFFu) {
            PyErr_SetString(PyExc_ValueError, "tail_read: a place has an offset of 0 or more, a day and an id of 0 to 65535");
            return static_cast<PyObject*>(nullptr);
        }
        const ScanRequest request = scan_request_from(request_args);
        const std::string path = bytes_of(path_object);
        std::unique_ptr<Filter> filter = scan_filter(request);
        OwnedRef numpy = OwnedRef::checked(PyImport_ImportModule("numpy"));
        ColumnStore store;
        const ResumePoint from{offset, static_cast<uint32_t>(day), static_cast<uint16_t>(id), false};
        const ResumePoint next = without_gil([&] {
            TailReader reader(filter.get(), request.has_predicate ? &request.predicate : nullptr, 1 << 16);
            return reader.read(path, from, max_bytes,
                               [&](std::unique_ptr<ColumnBatch> batch) { store.append(*batch, request.columns); });
        });
        OwnedRef columns = store_as_numpy(numpy.get(), store, request.columns);
        return Py_BuildValue("(NLkIO)", columns.release(), static_cast<long long>(next.offset),
                             static_cast<unsigned long>(next.day), static_cast<unsigned int>(next.id),
                             next.ended ? Py_True : Py_False);
    });
}

}  // namespace zentrail
