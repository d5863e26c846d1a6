#include "module/inventory_calls.h"

#include <sys/stat.h>

#include <bitset>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "archive/record_classes.h"
#include "module/errors.h"
#include "module/gil.h"
#include "module/owned_ref.h"
#include "module/scan_request.h"
#include "module/signal_monitor.h"
#include "output/archive_row.h"
#include "scan/column_batch.h"
#include "scan/event_sink.h"
#include "scan/file_runner.h"
#include "scan/inventory_sink.h"
#include "selection/explorer.h"
#include "time/calendar.h"

namespace zentrail {

namespace {

constexpr std::chrono::milliseconds SIGNAL_CHECK_INTERVAL{20};
constexpr std::chrono::milliseconds PROGRESS_INTERVAL{100};

[[noreturn]] void fail() { throw PythonErrorAlreadySet{}; }


PathList path_list_of(PyObject* where) {
    PathList paths;
    OwnedRef items = OwnedRef::checked(PySequence_Fast(where, "the listed paths must be a sequence"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        paths.push_back(bytes_of(PySequence_Fast_GET_ITEM(items.get(), i)));
    }
    return paths;
}

// The window of two bounds, either of which may be None: no start is the
// first instant, no end the last.
struct OpenBounds {
    std::string first_day;
    std::string last_day;
    InstantWindow window;
};
OpenBounds open_bounds(PyObject* start, PyObject* end) {
    OpenBounds out;
    const BoundSpec earliest{1, 1, 1, 0, 1};
    const BoundSpec latest{9999, 12, 31, 0, static_cast<int64_t>(NS_PER_DAY)};
    const BoundSpec from = start == Py_None ? earliest : bound_from(start, "dt_start");
    const BoundSpec to = end == Py_None ? latest : bound_from(end, "dt_end");
    // "" and "~" lie below and above every day's text: every file's name.
    out.first_day = start == Py_None ? std::string() : discovery_text(from, false);
    out.last_day = end == Py_None ? std::string("~") : discovery_text(to, true);
    out.window = instant_window(from, to);
    if (end == Py_None && out.window.open) out.window.last_ns = UINT64_MAX;
    return out;
}


// Waits for each file's result with the lock released, checking for signals
// and reporting progress between waits.
template <typename Result, typename OnResult>
void consume(FileRunner<Result>& runner, PyObject* progress, int64_t total, OnResult&& on_result) {
    auto last_report = std::chrono::steady_clock::now();
    auto report = [&](bool final) {
        if (progress == nullptr) return;
        const auto now = std::chrono::steady_clock::now();
        if (!final && now - last_report < PROGRESS_INTERVAL) return;
        last_report = now;
        const int64_t done = final ? total : std::min(runner.bytes_read(), total);
        OwnedRef result = OwnedRef::steal(
            PyObject_CallFunction(progress, "LL", static_cast<long long>(done), static_cast<long long>(total)));
        if (!result) fail();
    };
    for (;;) {
        Result result{};
        const auto got = without_gil([&] { return runner.next(&result, SIGNAL_CHECK_INTERVAL); });
        if (PyErr_CheckSignals() != 0) fail();
        if (got == FileRunner<Result>::Next::Finished) {
            report(true);
            return;
        }
        report(false);
        if (got == FileRunner<Result>::Next::Ready) on_result(std::move(result));
    }
}

template <typename T>
OwnedRef column_of(const std::vector<T>& values) {
    return OwnedRef::checked(PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                                           static_cast<Py_ssize_t>(values.size() * sizeof(T))));
}

void put(PyObject* dict, const char* name, OwnedRef value) {
    if (PyDict_SetItemString(dict, name, value.get()) != 0) fail();
}

PyObject* progress_or_null(PyObject* progress) { return progress == Py_None ? nullptr : progress; }

int thread_count(Py_ssize_t threads) {
    if (threads < 1) {
        PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
        fail();
    }
    return threads > (1 << 20) ? (1 << 20) : static_cast<int>(threads);
}

}  // namespace

PyObject* inventory_call(PyObject*, PyObject* args) {
    return guarded([&] {
        PyObject *where, *start, *end, *progress;
        int listed = 0, by_day = 0;
        Py_ssize_t threads = 0;
        if (!PyArg_ParseTuple(args, "OpOOpnO:inventory", &where, &listed, &start, &end, &by_day, &threads, &progress)) {
            fail();
        }
        const int workers = thread_count(threads);
        const OpenBounds bounds = open_bounds(start, end);
        PathList paths;
        if (listed) {
            paths = path_list_of(where);
        } else {
            const std::string root = bytes_of(where);
            SignalMonitor monitor;
            paths = find_archive_files(root.c_str(), bounds.first_day.c_str(), bounds.last_day.c_str(), &monitor);
        }
        OwnedRef progress_ref = OwnedRef::new_reference(progress_or_null(progress));
        const int64_t total = size_of_files(paths);
        const InstantWindow window = bounds.window;
        const bool days = by_day != 0;
        InventoryTable table;
        {
            FileRunner<FileInventory> runner(
                std::move(paths), workers,
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
            consume(runner, progress_ref.get(), total, [&](FileInventory file) { file.add_to(&table); });
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
        if (days) put(out.get(), "day", column_of(day));
        put(out.get(), "signal_id", column_of(signal_id));
        put(out.get(), "item_class", column_of(item_class));
        put(out.get(), "records", column_of(records));
        put(out.get(), "elements", column_of(elements));
        put(out.get(), "first", column_of(first));
        put(out.get(), "last", column_of(last));
        put(out.get(), "files", column_of(files));
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

}  // namespace

PyObject* events_call(PyObject*, PyObject* args) {
    return guarded([&] {
        PyObject *where, *start, *end, *ids_object, *progress;
        int system = 1;
        Py_ssize_t threads = 0;
        if (!PyArg_ParseTuple(args, "OO!O!OpnO:events", &where, &PyTuple_Type, &start, &PyTuple_Type, &end,
                              &ids_object, &system, &threads, &progress)) {
            fail();
        }
        const int workers = thread_count(threads);
        PathList paths = path_list_of(where);
        const OpenBounds bounds = open_bounds(start, end);
        std::unique_ptr<std::bitset<65536>> ids;
        if (ids_object != Py_None) {
            ids = std::make_unique<std::bitset<65536>>();
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
        }
        OwnedRef progress_ref = OwnedRef::new_reference(progress_or_null(progress));
        const int64_t total = size_of_files(paths);
        const InstantWindow window = bounds.window;
        const std::bitset<65536>* selected = ids.get();
        const bool with_system = system != 0;
        EventBatch all;
        {
            FileRunner<EventBatch> runner(
                std::move(paths), workers,
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
            consume(runner, progress_ref.get(), total, [&](EventBatch file) { append_batch(&all, std::move(file)); });
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
        put(out.get(), "time", column_of(all.time));
        put(out.get(), "signal_id", column_of(all.signal_id));
        put(out.get(), "item_class", column_of(all.item_class));
        put(out.get(), "subtype", column_of(all.subtype));
        put(out.get(), "param", column_of(all.param));
        put(out.get(), "value", column_of(all.value));
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
