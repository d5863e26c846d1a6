#include "module/events_calls.h"

#include <bitset>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "module/column_buffer.h"
#include "module/errors.h"
#include "module/owned_ref.h"
#include "module/read_iterator.h"
#include "module/run_loop.h"
#include "module/scan_request.h"
#include "scan/event_sink.h"
#include "scan/file_runner.h"

namespace zentrail {

namespace {

[[noreturn]] void fail() { throw PythonErrorAlreadySet{}; }

using SignalIds = std::bitset<65536>;

std::unique_ptr<SignalIds> ids_from(PyObject* ids_object) {
    if (ids_object == Py_None) return nullptr;
    auto ids = std::make_unique<SignalIds>();
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

// One read of events: the workers, one file per task, and the loop that
// waits for them. Holds no Python object.
class EventRead {
public:
    EventRead(const ScanRequest& request, std::unique_ptr<SignalIds> chosen, bool system)
        : ids(std::move(chosen)), source(request.source), loop(nullptr, 0) {
        PathList paths = files_of(request);
        loop = RunLoop(nullptr, size_of_files(paths, source.get()));
        ByteSource* bytes = source.get();
        const InstantWindow window = window_of(request);
        const SignalIds* selected = ids.get();
        runner = std::make_unique<FileRunner<EventBatch>>(
            std::move(paths), request.threads,
            [bytes, zone = request.zone] {
                // Every record, so that system records are seen whatever id
                // came before; only alarm payloads are copied.
                auto parser = std::make_unique<Parser>(nullptr);
                parser->set_payload_classes(event_payload_classes());
                parser->set_keep_texts(true);
                parser->set_byte_source(bytes);
                parser->set_zone(zone);
                return parser;
            },
            [window, selected, system](Parser& parser, const std::string& path, EventBatch& out) {
                EventSink sink(&out, window, selected, system);
                parser.read_file(&sink, path);
            },
            request.damaged != nullptr);
    }

    // The events of the next `files` files (all when 0) into *all; false
    // when none was left.
    bool take(PyObject* progress, PyObject* damaged, std::size_t files, EventBatch* all) {
        if (finished) return false;
        loop.set_progress(progress);
        loop.set_damaged(damaged);
        bool any = false;
        EventBatch file;
        for (std::size_t n = 0; files == 0 || n < files; ++n) {
            if (!loop.next(*runner, &file)) {
                finished = true;
                break;
            }
            append(all, std::move(file));
            file = EventBatch();
            any = true;
        }
        return any;
    }

private:
    static void append(EventBatch* all, EventBatch&& file) {
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

    std::unique_ptr<SignalIds> ids;  // read by the workers: outlives them
    std::shared_ptr<ByteSource> source;  // the files' bytes, when fetched: outlives the workers
    RunLoop loop;
    std::unique_ptr<FileRunner<EventBatch>> runner;
    bool finished = false;  // the end was reached, and progress told so
};

// Each row's text as an index into the distinct texts (-1 for a row
// without one), each distinct text decoded once: an alarm repeats a few
// texts thousands of times, and a str per row was most of a read's time.
std::pair<std::vector<int32_t>, OwnedRef> text_codes(const EventBatch& all) {
    std::vector<int32_t> codes(all.rows(), -1);
    std::unordered_map<std::string_view, int32_t> seen;
    OwnedRef distinct = OwnedRef::checked(PyList_New(0));
    for (std::size_t i = 0; i < all.rows(); ++i) {
        if (all.text_length[i] < 0) continue;
        const std::string_view bytes(all.texts.data() + all.text_start[i],
                                     static_cast<std::size_t>(all.text_length[i]));
        const auto found = seen.try_emplace(bytes, static_cast<int32_t>(seen.size()));
        if (found.second) {
            OwnedRef text = OwnedRef::checked(
                PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
            if (PyList_Append(distinct.get(), text.get()) != 0) fail();
        }
        codes[i] = found.first->second;
    }
    return {std::move(codes), std::move(distinct)};
}

// The columns lent to NumPy as they stand, the texts as codes into the
// distinct texts; `all` is left empty.
OwnedRef events_dict(EventBatch&& all) {
    auto [codes, texts] = text_codes(all);
    OwnedRef out = OwnedRef::checked(PyDict_New());
    const std::pair<const char*, OwnedRef> columns[] = {
        {"time", lent_values(std::move(all.time))},           {"signal_id", lent_values(std::move(all.signal_id))},
        {"item_class", lent_values(std::move(all.item_class))}, {"subtype", lent_values(std::move(all.subtype))},
        {"param", lent_values(std::move(all.param))},         {"value", lent_values(std::move(all.value))},
        {"text_code", lent_values(std::move(codes))},          {"texts", std::move(texts)},
    };
    for (const auto& column : columns) {
        if (PyDict_SetItemString(out.get(), column.first, column.second.get()) != 0) fail();
    }
    return out;
}

struct Arguments {
    ScanRequest request;
    std::unique_ptr<SignalIds> ids;
    bool system = true;
    Py_ssize_t files_per_batch = 0;
};

Arguments arguments_of(PyObject* args, bool batched) {
    PyObject *request_object, *ids_object;
    int system = 1;
    Arguments out;
    const bool parsed = batched ? PyArg_ParseTuple(args, "OOpn:iterate_events", &request_object, &ids_object,
                                                   &system, &out.files_per_batch)
                                : PyArg_ParseTuple(args, "OOp:events", &request_object, &ids_object, &system);
    if (!parsed) fail();
    if (batched && out.files_per_batch < 1) {
        PyErr_SetString(PyExc_ValueError, "files_per_batch must be at least 1");
        fail();
    }
    out.request = scan_request_from(request_object);
    out.ids = ids_from(ids_object);
    out.system = system != 0;
    return out;
}

// An events read handed to Python a few files a batch.
class EventBatches : public BatchRead {
public:
    EventBatches(std::unique_ptr<EventRead> read, std::size_t files_per_batch)
        : read(std::move(read)), files_per_batch(files_per_batch) {}

    PyObject* next(PyObject* progress, PyObject* damaged) override {
        EventBatch all;
        if (!read->take(progress, damaged, files_per_batch, &all)) return nullptr;
        return events_dict(std::move(all)).release();
    }

private:
    std::unique_ptr<EventRead> read;
    const std::size_t files_per_batch;
};

}  // namespace

PyObject* events_call(PyObject*, PyObject* args) {
    return guarded([&] {
        Arguments arguments = arguments_of(args, false);
        EventBatch all;
        {
            EventRead read(arguments.request, std::move(arguments.ids), arguments.system);
            read.take(arguments.request.progress, arguments.request.damaged, 0, &all);
        }
        return events_dict(std::move(all)).release();
    });
}

PyObject* iterate_events_call(PyObject*, PyObject* args) {
    return guarded([&] {
        Arguments arguments = arguments_of(args, true);
        auto read = std::make_unique<EventRead>(arguments.request, std::move(arguments.ids), arguments.system);
        return new_read_iterator(
            std::make_unique<EventBatches>(std::move(read), static_cast<std::size_t>(arguments.files_per_batch)),
            arguments.request.progress, arguments.request.damaged, "read of events");
    });
}

}  // namespace zentrail
