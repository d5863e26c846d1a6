#include "module/inventory_calls.h"

#include <memory>
#include <vector>

#include "archive/record_classes.h"
#include "module/column_buffer.h"
#include "module/errors.h"
#include "module/owned_ref.h"
#include "module/run_loop.h"
#include "module/scan_request.h"
#include "output/archive_row.h"
#include "scan/column_batch.h"
#include "scan/file_runner.h"
#include "scan/inventory_sink.h"
#include "time/calendar.h"

namespace zentrail {

namespace {

[[noreturn]] void fail() { throw PythonErrorAlreadySet{}; }

void put(PyObject* dict, const char* name, OwnedRef value) {
    if (PyDict_SetItemString(dict, name, value.get()) != 0) fail();
}

}  // namespace

PyObject* inventory_call(PyObject*, PyObject* args) {
    return guarded([&] {
        PyObject* request_object;
        int by = INVENTORY_WHOLE;
        if (!PyArg_ParseTuple(args, "Oi:inventory", &request_object, &by)) fail();
        if (by < INVENTORY_WHOLE || by > INVENTORY_BY_FILE) {
            PyErr_Format(PyExc_ValueError, "inventory rows are whole (0), by day (1) or by file and day (2), not %d",
                         by);
            fail();
        }
        const ScanRequest request = scan_request_from(request_object);
        PathList paths = files_of(request);
        // A listed file goes by its name elsewhere in the rows, when it has one.
        const PathList names = by != INVENTORY_BY_FILE ? PathList() : request.shown.empty() ? paths : request.shown;
        const InstantWindow window = window_of(request);
        const bool days = by != INVENTORY_WHOLE;
        RunLoop loop(request.progress, size_of_files(paths, request.source.get()));
        loop.set_damaged(request.damaged);
        ByteSource* source = request.source.get();
        InventoryTable table;
        // By file: each file's entries in key order, the files in read order.
        std::vector<InventoryEntry> file_entries;
        std::vector<int32_t> file_of_entry;
        {
            FileRunner<FileInventory> runner(
                std::move(paths), request.threads,
                [source, zone = request.zone] {
                    // Every record, heads only: no filter, no payload copied.
                    auto parser = std::make_unique<Parser>(nullptr);
                    parser->set_payload_classes(0);
                    parser->set_byte_source(source);
                    parser->set_zone(zone);
                    return parser;
                },
                [window, days, local = request.zone.days.get()](Parser& parser, const std::string& path,
                                                                 FileInventory& out) {
                    InventorySink sink(&out, window, days);
                    sink.set_zone(local);
                    parser.read_file(&sink, path);
                    sink.finish();
                },
                request.damaged != nullptr);
            FileInventory file;
            int32_t index = 0;  // the runner hands every file's result on, in read order
            while (loop.next(runner, &file)) {
                if (by == INVENTORY_BY_FILE) {
                    InventoryTable own;
                    file.add_to(&own);
                    for (const InventoryEntry& entry : own.sorted()) {
                        file_entries.push_back(entry);
                        file_of_entry.push_back(index);
                    }
                } else {
                    file.add_to(&table);
                }
                file = FileInventory();
                ++index;
            }
        }
        const std::vector<InventoryEntry> entries = by == INVENTORY_BY_FILE ? std::move(file_entries) : table.sorted();
        std::vector<int64_t> day, records, first, last;
        std::vector<uint16_t> signal_id;
        std::vector<uint8_t> item_class;
        std::vector<int32_t> elements, files;
        for (const InventoryEntry& e : entries) {
            day.push_back(static_cast<int64_t>(InventoryTable::day_of(e.key) * NS_PER_DAY) + ARCHIVE_EPOCH_UNIX_NS);
            signal_id.push_back(static_cast<uint16_t>(InventoryTable::id_of(e.key)));
            item_class.push_back(static_cast<uint8_t>(InventoryTable::class_of(e.key)));
            records.push_back(e.records);
            elements.push_back(e.elements);
            first.push_back(static_cast<int64_t>(e.first) + ARCHIVE_EPOCH_UNIX_NS);
            last.push_back(static_cast<int64_t>(e.last) + ARCHIVE_EPOCH_UNIX_NS);
            files.push_back(e.files);
        }
        OwnedRef out = OwnedRef::checked(PyDict_New());
        if (by == INVENTORY_BY_FILE) {
            OwnedRef read = OwnedRef::checked(PyList_New(static_cast<Py_ssize_t>(names.size())));
            for (std::size_t k = 0; k < names.size(); ++k) {
                PyObject* name =
                    PyUnicode_DecodeFSDefaultAndSize(names[k].data(), static_cast<Py_ssize_t>(names[k].size()));
                if (name == nullptr) fail();
                PyList_SET_ITEM(read.get(), static_cast<Py_ssize_t>(k), name);
            }
            put(out.get(), "files_read", std::move(read));
            put(out.get(), "file", lent_values(std::move(file_of_entry)));
        }
        if (days) put(out.get(), "day", lent_values(std::move(day)));
        put(out.get(), "signal_id", lent_values(std::move(signal_id)));
        put(out.get(), "item_class", lent_values(std::move(item_class)));
        put(out.get(), "records", lent_values(std::move(records)));
        put(out.get(), "elements", lent_values(std::move(elements)));
        put(out.get(), "first", lent_values(std::move(first)));
        put(out.get(), "last", lent_values(std::move(last)));
        put(out.get(), "files", lent_values(std::move(files)));
        return out.release();
    });
}

PyObject* record_names_call(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        int code = 0, param = 0;
        if (!PyArg_ParseTuple(args, "ii:record_names", &code, &param)) return nullptr;
        if (code < 0 || code > 255 || param < 0 || param > 255) {
            PyErr_SetString(PyExc_ValueError, "an item code and a second byte are 0 to 255");
            return nullptr;
        }
        ACI_WITH_DATE item{};
        item.item.code = static_cast<uint8_t>(code);
        item.item.param = static_cast<uint8_t>(param);
        const ArchiveRow row = build_named_row(&item);
        return Py_BuildValue("(sss)", row.class_name, row.subtype_name, row.detail);
    });
}

PyObject* class_names_tuple() {
    return guarded([&] {
        OwnedRef names = OwnedRef::checked(PyTuple_New(32));
        for (int cls = 0; cls < 32; ++cls) {
            PyObject* name = PyUnicode_FromString(CLASS_NAMES[cls]);
            if (name == nullptr) fail();
            PyTuple_SET_ITEM(names.get(), cls, name);
        }
        return names.release();
    });
}

}  // namespace zentrail
