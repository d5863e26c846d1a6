#include "scan/table_arrow.h"

#include <cerrno>
#include <memory>
#include <new>

namespace zentrail {

namespace {

struct Table {
    std::vector<OwnedColumn> columns;
    int64_t rows = 0;
};

struct SchemaParts {
    std::shared_ptr<const Table> table;
    std::vector<ArrowSchema> children;
    std::vector<ArrowSchema*> child_pointers;
};

void release_child_schema(ArrowSchema* schema) { schema->release = nullptr; }

void release_schema(ArrowSchema* schema) {
    auto* parts = static_cast<SchemaParts*>(schema->private_data);
    for (ArrowSchema& child : parts->children) {
        if (child.release != nullptr) child.release(&child);
    }
    delete parts;
    schema->release = nullptr;
}

// Each array, the struct's and every column's, holds the table, so that a
// consumer may move children out and release them in any order.
struct ArrayParts {
    std::shared_ptr<const Table> table;
    const void* buffers[2] = {nullptr, nullptr};
    std::vector<ArrowArray> children;
    std::vector<ArrowArray*> child_pointers;
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

void fill_array(ArrowArray* out, ArrayParts* parts, int64_t length, int64_t n_buffers) {
    const auto n_children = static_cast<int64_t>(parts->children.size());
    *out = ArrowArray{length, 0, 0, n_buffers, n_children, parts->buffers,
                      n_children > 0 ? parts->child_pointers.data() : nullptr, nullptr, release_array, parts};
}

struct StreamState {
    std::shared_ptr<const Table> table;
    bool taken = false;
};

int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    try {
        const auto& table = static_cast<StreamState*>(stream->private_data)->table;
        auto parts = std::make_unique<SchemaParts>();
        parts->table = table;
        const std::size_t n = table->columns.size();
        parts->children.resize(n);
        parts->child_pointers.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            const OwnedColumn& column = table->columns[i];
            parts->children[i] = ArrowSchema{column.arrow_format.c_str(), column.name.c_str(), nullptr, 0, 0,
                                             nullptr, nullptr, release_child_schema, nullptr};
            parts->child_pointers[i] = &parts->children[i];
        }
        ArrowSchema** children = parts->child_pointers.data();
        *out = ArrowSchema{"+s", "", nullptr, 0, static_cast<int64_t>(n), children, nullptr, release_schema,
                           parts.release()};
        return 0;
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) {
    auto* state = static_cast<StreamState*>(stream->private_data);
    if (state->taken) {
        out->release = nullptr;  // the end of the stream
        return 0;
    }
    try {
        const std::shared_ptr<const Table>& table = state->table;
        const std::size_t n = table->columns.size();
        // Every part is made before any is handed over, so that running out
        // of memory halfway leaks nothing.
        auto top = std::make_unique<ArrayParts>();
        std::vector<std::unique_ptr<ArrayParts>> columns(n);
        for (auto& column : columns) {
            column = std::make_unique<ArrayParts>();
            column->table = table;
        }
        top->table = table;
        top->children.resize(n);
        top->child_pointers.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            columns[i]->buffers[1] = table->columns[i].bytes.data();
            fill_array(&top->children[i], columns[i].release(), table->rows, 2);
            top->child_pointers[i] = &top->children[i];
        }
        fill_array(out, top.release(), table->rows, 1);
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    state->taken = true;
    return 0;
}

const char* stream_error(ArrowArrayStream*) { return nullptr; }

void stream_release(ArrowArrayStream* stream) {
    delete static_cast<StreamState*>(stream->private_data);
    stream->release = nullptr;
}

}  // namespace

void export_table_stream(std::vector<OwnedColumn> columns, int64_t rows, ArrowArrayStream* out) {
    auto table = std::make_shared<Table>();
    table->columns = std::move(columns);
    table->rows = rows;
    auto* state = new StreamState{std::move(table), false};
    *out = ArrowArrayStream{stream_schema, stream_next, stream_error, stream_release, state};
}

}  // namespace zentrail
