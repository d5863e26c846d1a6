#include "module/tail_call.h"

#include <memory>
#include <string>

#include "module/column_buffer.h"
#include "module/errors.h"
#include "module/named_fields.h"
#include "module/owned_ref.h"
#include "module/run_loop.h"
#include "module/scan_request.h"
#include "scan/file_runner.h"
#include "scan/tail_reader.h"

namespace zentrail {

namespace {

// The place `at` names, read by its fields' names.
ResumePoint place_of(PyObject* at) {
    NamedFields fields(at);
    const long long offset = fields.integer("offset");
    const long long day = fields.integer("day");
    const long long id = fields.integer("id");
    if (offset < 0 || day < 0 || day > 0xFFFF || id < 0 || id > 0xFFFF) {
        PyErr_Format(PyExc_ValueError,
                     "tail_read: a place is an offset of 0 or more, a day and an id of 0 to 65535, not offset %lld, "
                     "day %lld, id %lld", offset, day, id);
        throw PythonErrorAlreadySet{};
    }
    ResumePoint place{offset, static_cast<uint32_t>(day), static_cast<uint16_t>(id), false};
    PyObject* fold = fields["fold"];
    if (fold != Py_None) {
        long long change = 0, latest = 0, pending = 0;
        int second = 0, seen_back = 0;
        if (!PyArg_ParseTuple(fold, "LppLL", &change, &second, &seen_back, &latest, &pending) || change < -1 ||
            change > INT32_MAX || pending < 0) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError,
                         "tail_read: a place's fold is (change, second, seen_back, latest, pending), not %R", fold);
            throw PythonErrorAlreadySet{};
        }
        place.fold = FoldState{static_cast<int32_t>(change), second != 0, seen_back != 0, latest, pending};
    }
    return place;
}

// A place's fold state as the Python side keeps it: None when the file has
// met no repeated hour.
OwnedRef fold_of(const FoldState& fold) {
    if (fold.change < 0) {
        Py_INCREF(Py_None);
        return OwnedRef::checked(Py_None);
    }
    return OwnedRef::checked(Py_BuildValue("(LOOLL)", static_cast<long long>(fold.change),
                                           fold.second ? Py_True : Py_False, fold.seen_back ? Py_True : Py_False,
                                           static_cast<long long>(fold.latest), static_cast<long long>(fold.pending)));
}

// A place of the same type as `like`, made by its fields' names.
OwnedRef place_like(PyObject* like, const ResumePoint& place) {
    OwnedRef fold = fold_of(place.fold);
    OwnedRef fields = OwnedRef::checked(Py_BuildValue(
        "{s:L,s:k,s:I,s:O,s:O}", "offset", static_cast<long long>(place.offset), "day",
        static_cast<unsigned long>(place.day), "id", static_cast<unsigned int>(place.id), "ended",
        place.ended ? Py_True : Py_False, "fold", fold.get()));
    OwnedRef no_arguments = OwnedRef::checked(PyTuple_New(0));
    return OwnedRef::checked(
        PyObject_Call(reinterpret_cast<PyObject*>(Py_TYPE(like)), no_arguments.get(), fields.get()));
}

}  // namespace

PyObject* tail_read(PyObject*, PyObject* args) {
    PyObject* request_object = nullptr;
    PyObject* at = nullptr;
    long long max_bytes = 0;
    long long until = -1;
    if (!PyArg_ParseTuple(args, "OOL|L:tail_read", &request_object, &at, &max_bytes, &until)) return nullptr;
    return guarded([&]() -> PyObject* {
        const ResumePoint from = place_of(at);
        const ScanRequest request = scan_request_from(request_object);
        const ReadPlan plan = read_plan(request);
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
                    parser->set_zone(plan.zone);
                    return parser;
                },
                [&plan, &from, max_bytes, until](Parser& parser, const std::string& path, TailRows& out) {
                    read_tail(parser, plan, path, from, max_bytes, &out, until);
                });
            // A failed read hands on its rows first, and the next call
            // throws its failure.
            TailRows after;
            if (loop.next(runner, &tail)) loop.next(runner, &after);
        }
        OwnedRef numpy = OwnedRef::checked(PyImport_ImportModule("numpy"));
        OwnedRef columns = store_as_numpy(numpy.get(), tail.rows, plan.columns);
        OwnedRef after = place_like(at, tail.next);
        return Py_BuildValue("(NN)", columns.release(), after.release());
    });
}

}  // namespace zentrail
