#include "scan/arrow_export.h"

#include <cerrno>
#include <cstring>
#include <new>

namespace zentrail {

namespace {

struct SchemaParts {
    ArrowSchema children[COLUMN_COUNT];
    ArrowSchema* child_pointers[COLUMN_COUNT];
};

void release_child_schema(ArrowSchema* schema) { schema->release = nullptr; }

void release_schema(ArrowSchema* schema) {
    auto* parts = static_cast<SchemaParts*>(schema->private_data);
    for (int64_t i = 0; i < schema->n_children; ++i) {
        ArrowSchema& child = parts->children[i];
        if (child.release != nullptr) child.release(&child);
    }
    delete parts;
    schema->release = nullptr;
}

// One array's buffers: a column's, or the struct's (validity only). Each
// child holds the batch too, so that a consumer may move children out and
// release them in any order.
struct ArrayParts {
    std::shared_ptr<ColumnBatch> batch;
    const void* buffers[2] = {nullptr, nullptr};
    ArrowArray children[COLUMN_COUNT];
    ArrowArray* child_pointers[COLUMN_COUNT];
};

void release_array(ArrowArray* array) {
    auto* parts = static_cast<ArrayParts*>(array->private_data);
    for (int64_t i = 0; i < array->n_children; ++i) {
        ArrowArray* child = array->children[i];
        if (child->release != nullptr) child->release(child);
    }
    delete parts;
    array->release = nullptr;
}

void fill_array(ArrowArray* out, ArrayParts* parts, int64_t length, int64_t n_buffers, int64_t n_children) {
    out->length = length;
    out->null_count = 0;
    out->offset = 0;
    out->n_buffers = n_buffers;
    out->n_children = n_children;
    out->buffers = parts->buffers;
    out->children = n_children > 0 ? parts->child_pointers : nullptr;
    out->dictionary = nullptr;
    out->release = release_array;
    out->private_data = parts;
}

struct StreamState {
    std::vector<std::unique_ptr<ColumnBatch>> batches;
    std::size_t taken = 0;
};

int stream_schema(ArrowArrayStream*, ArrowSchema* out) {
    try {
        export_schema(out);
        return 0;
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) {
    auto* state = static_cast<StreamState*>(stream->private_data);
    if (state->taken == state->batches.size()) {
        out->release = nullptr;  // the end of the stream
        return 0;
    }
    try {
        export_batch(std::move(state->batches[state->taken]), out);
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    ++state->taken;
    return 0;
}

const char* stream_error(ArrowArrayStream*) { return nullptr; }

void stream_release(ArrowArrayStream* stream) {
    delete static_cast<StreamState*>(stream->private_data);
    stream->release = nullptr;
}

}  // namespace

void export_schema(ArrowSchema* out, const ColumnSelection& selection) {
    auto* parts = new SchemaParts();
    for (std::size_t i = 0; i < selection.count; ++i) {
        const ColumnInfo& column = COLUMNS[selection.order[i]];
        parts->children[i] = ArrowSchema{column.arrow_format, column.name, nullptr, 0, 0, nullptr,
                                         nullptr, release_child_schema, nullptr};
        parts->child_pointers[i] = &parts->children[i];
    }
    *out = ArrowSchema{"+s", "", nullptr, 0, static_cast<int64_t>(selection.count), parts->child_pointers,
                       nullptr, release_schema, parts};
}

void export_batch(std::unique_ptr<ColumnBatch> batch, ArrowArray* out, const ColumnSelection& selection) {
    std::shared_ptr<ColumnBatch> shared(std::move(batch));
    const auto length = static_cast<int64_t>(shared->rows);
    // Every part is made before any is handed over, so that running out of
    // memory halfway leaks nothing.
    auto top = std::make_unique<ArrayParts>();
    std::unique_ptr<ArrayParts> columns[COLUMN_COUNT];
    for (std::size_t i = 0; i < selection.count; ++i) columns[i] = std::make_unique<ArrayParts>();
    top->batch = shared;
    for (std::size_t i = 0; i < selection.count; ++i) {
        columns[i]->batch = shared;
        columns[i]->buffers[1] = shared->column(selection.order[i]);
        fill_array(&top->children[i], columns[i].release(), length, 2, 0);
        top->child_pointers[i] = &top->children[i];
    }
    fill_array(out, top.release(), length, 1, static_cast<int64_t>(selection.count));
}

void export_stream(std::vector<std::unique_ptr<ColumnBatch>> batches, ArrowArrayStream* out) {
    auto* state = new StreamState{std::move(batches)};
    *out = ArrowArrayStream{stream_schema, stream_next, stream_error, stream_release, state};
}

}  // namespace zentrail
