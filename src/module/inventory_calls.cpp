#include "module/inventory_calls.h"

#include <bitset>
#include <cstring>
#include <memory>
#include <vector>

#include "archive/record_classes.h"
#include "module/errors.h"
#include "module/gil.h"
#include "module/owned_ref.h"
#include "module/column_buffer.h"
#include "module/run_loop.h"
#include "module/scan_request.h"
#include "output/archive_row.h"
#include "scan/column_batch.h"
#include "scan/event_sink.h"
#include "scan/file_runner.h"
#include "scan/inventory_sink.h"
#include "time/calendar.h"

namespace zentrail {

namespace {

[[noreturn]] void fail() { throw PythonErrorAlreadySet{}; }

// A column's bytes, to be lent to NumPy as they are.
template <typename T>
OwnedRef lent_column(const std::vector<T>& values) {
    std::vector<uint8_t> bytes(values.size() * sizeof(T));
    if (!bytes.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
    return lent_bytes(std::move(bytes));
}

void put(PyObject* dict, const char* name, OwnedRef value) {
    if (PyDict_SetItemString(dict, name, value.get()) != 0) fail();
}

}  // namespace

PyObject* inventory_call(PyObject*, PyObject* args) {
    return guarded([&] {
        PyObject* request_object;
        int by_day = 0;
        if (!PyArg_ParseTuple(args, "Op:inventory", &request_object, &by_day)) fail();
        const ScanRequest request = scan_request_from(request_object);
        PathList paths = files_of(request);
        const InstantWindow window = window_of(request);
        const bool days = by_day != 0;
        RunLoop loop(request.progress, size_of_files(paths));
        InventoryTable table;
        {
            FileRunner<FileInventory> runner(
                std::move(paths), request.threads,
                [] {
                    // Every record, heads only: no filter, no payload copied.
                    auto parser = std::make_unique<Parser>(nullptr);
                    parser->set_payload_classes(0);
                    return parser;
                },
                [window, days](Parser& parser, const std::string& path, FileInventory& out) {
                    InventorySink sink(&out, window, days);
                    parser.read_file(&sink, path);
                    sink.finish();
                });
            FileInventory file;
            while (loop.next(runner, &file)) {
                file.add_to(&table);
                file = FileInventory();
            }
        }
        const std::vector<InventoryEntry> entries = table.sorted();
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
        if (days) put(out.get(), "day", lent_column(day));
        put(out.get(), "signal_id", lent_column(signal_id));
        put(out.get(), "item_class", lent_column(item_class));
        put(out.get(), "records", lent_column(records));
        put(out.get(), "elements", lent_column(elements));
        put(out.get(), "first", lent_column(first));
        put(out.get(), "last", lent_column(last));
        put(out.get(), "files", lent_column(files));
        return out.release();
    });
}

namespace {

void append_batch(EventBatch* all, EventBatch&& file) {
    auto add = [](auto& to, auto& from) { to.insert(to.end(), from.begin(), from.end()); };
    const auto offset = static_cast<int64_t>(all->texts.size());
    for (int64_t& start : file.text_start) start += offset;
    add(all->time, file.time);
    add(all->signal_id, file.signal_id);
    add(all->item_class, file.item_class);
    add(all->subtype, file.subtype);
    add(all->param, file.param);
    add(all->value, file.value);
    add(all->text_start, file.text_start);
    add(all->text_length, file.text_length);
    all->texts += file.texts;
}

std::unique_ptr<std::bitset<65536>> ids_from(PyObject* ids_object) {
    if (ids_object == Py_None) return nullptr;
    auto ids = std::make_unique<std::bitset<65536>>();
    OwnedRef items = OwnedRef::checked(PySequence_Fast(ids_object, "ids must be a sequence"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        const long id = PyLong_AsLong(PySequence_Fast_GET_ITEM(items.get(), i));
        if (id == -1 && PyErr_Occurred()) fail();
        if (id < 0 || id > 65535) {
            PyErr_Format(PyExc_ValueError, "a signal id must lie in 0 to 65535, not %ld", id);
            fail();
        }
        ids->set(static_cast<std::size_t>(id));
    }
    return ids;
}

}  // namespace

PyObject* events_call(PyObject*, PyObject* args) {
    return guarded([&] {
        PyObject *request_object, *ids_object;
        int system = 1;
        if (!PyArg_ParseTuple(args, "OOp:events", &request_object, &ids_object, &system)) fail();
        const ScanRequest request = scan_request_from(request_object);
        const std::unique_ptr<std::bitset<65536>> ids = ids_from(ids_object);
        PathList paths = files_of(request);
        const InstantWindow window = window_of(request);
        const std::bitset<65536>* selected = ids.get();
        const bool with_system = system != 0;
        RunLoop loop(request.progress, size_of_files(paths));
        EventBatch all;
        {
            FileRunner<EventBatch> runner(
                std::move(paths), request.threads,
                [] {
                    // Every record, so that system records are seen whatever
                    // id came before; only alarm payloads are copied.
                    auto parser = std::make_unique<Parser>(nullptr);
                    parser->set_payload_classes(event_payload_classes());
                    parser->set_keep_texts(true);
                    return parser;
                },
                [window, selected, with_system](Parser& parser, const std::string& path, EventBatch& out) {
                    EventSink sink(&out, window, selected, with_system);
                    parser.read_file(&sink, path);
                });
            EventBatch file;
            while (loop.next(runner, &file)) {
                append_batch(&all, std::move(file));
                file = EventBatch();
            }
        }
        OwnedRef texts = OwnedRef::checked(PyList_New(static_cast<Py_ssize_t>(all.rows())));
        for (std::size_t i = 0; i < all.rows(); ++i) {
            PyObject* text;
            if (all.text_length[i] < 0) {
                text = Py_None;
                Py_INCREF(text);
            } else {
                text = PyUnicode_DecodeUTF8(all.texts.data() + all.text_start[i], all.text_length[i], "replace");
                if (text == nullptr) fail();
            }
            PyList_SET_ITEM(texts.get(), static_cast<Py_ssize_t>(i), text);
        }
        OwnedRef out = OwnedRef::checked(PyDict_New());
        put(out.get(), "time", lent_column(all.time));
        put(out.get(), "signal_id", lent_column(all.signal_id));
        put(out.get(), "item_class", lent_column(all.item_class));
        put(out.get(), "subtype", lent_column(all.subtype));
        put(out.get(), "param", lent_column(all.param));
        put(out.get(), "value", lent_column(all.value));
        put(out.get(), "text", std::move(texts));
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
