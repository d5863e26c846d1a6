#include "module/tail_call.h"

#include <memory>
#include <string>

#include "module/column_buffer.h"
#include "module/errors.h"
#include "module/owned_ref.h"
#include "module/run_loop.h"
#include "module/scan_request.h"
#include "scan/file_runner.h"
#include "scan/tail_reader.h"

namespace zentrail {

PyObject* tail_read(PyObject*, PyObject* args) {
    PyObject* request_object = nullptr;
    long long offset = 0, max_bytes = 0;
    unsigned long day = 0;
    unsigned int id = 0;
    if (!PyArg_ParseTuple(args, "OLkIL:tail_read", &request_object, &offset, &day, &id, &max_bytes)) return nullptr;
    return guarded([&]() -> PyObject* {
        if (offset < 0 || day > 0xFFFFu || id > 0xFFFFu) {
            PyErr_SetString(PyExc_ValueError, "tail_read: a place is an offset of 0 or more, a day and an id of 0 to 65535");
            return nullptr;
        }
        const ScanRequest request = scan_request_from(request_object);
        const ReadPlan plan = read_plan(request);
        const ResumePoint from{offset, static_cast<uint32_t>(day), static_cast<uint16_t>(id), false};
        TailRows tail;
        tail.next = from;
        if (plan.paths.size() > 1) {
            PyErr_SetString(PyExc_ValueError, "tail_read reads one file: the request must list one path");
            return nullptr;
        }
        if (!plan.paths.empty()) {
            RunLoop loop(request.progress, 0);
            FileRunner<TailRows> runner(
                plan.paths, 1,
                [&plan] {
                    auto parser = std::make_unique<Parser>(plan.filter.get());
                    parser->set_payload_classes(0);  // the builder reads the stored payloads
                    return parser;
                },
                [&plan, &from, max_bytes](Parser& parser, const std::string& path, TailRows& out) {
                    read_tail(parser, plan, path, from, max_bytes, &out);
                });
            // A failed read hands on its rows first, and the next call
            // throws its failure.
            TailRows after;
            if (loop.next(runner, &tail)) loop.next(runner, &after);
        }
        OwnedRef numpy = OwnedRef::checked(PyImport_ImportModule("numpy"));
        OwnedRef columns = store_as_numpy(numpy.get(), tail.rows, plan.columns);
        return Py_BuildValue("(NLkIO)", columns.release(), static_cast<long long>(tail.next.offset),
                             static_cast<unsigned long>(tail.next.day), static_cast<unsigned int>(tail.next.id),
                             tail.next.ended ? Py_True : Py_False);
    });
}

}  // namespace zentrail
