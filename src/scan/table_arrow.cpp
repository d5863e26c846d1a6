#include "scan/table_arrow.h"

#include <memory>

#include "scan/arrow_stream.h"

namespace zentrail {

int64_t OwnedColumn::length() const {
    if (arrow_format == "u") return static_cast<int64_t>(offsets.empty() ? 0 : offsets.size() - 1);
    if (arrow_format == "b") return bits;
    // Fixed widths by format: 1 byte "C", 2 "S", 4 "i", else 8.
    const std::size_t width = arrow_format == "C" ? 1 : arrow_format == "S" ? 2 : arrow_format == "i" ? 4 : 8;
    return static_cast<int64_t>(bytes.size() / width);
}

std::shared_ptr<const OwnedColumn> text_dictionary(const std::vector<std::string>& texts) {
    auto names = std::make_shared<OwnedColumn>();
    names->arrow_format = "u";
    names->offsets.push_back(0);
    for (const std::string& text : texts) {
        names->bytes.insert(names->bytes.end(), text.begin(), text.end());
        names->offsets.push_back(static_cast<int32_t>(names->bytes.size()));
    }
    return names;
}

namespace {

struct Table {
    std::vector<OwnedColumn> columns;
    int64_t rows = 0;
};

// A column's schema holds the table (its name and format point into it)
// and its dictionary's schema: a consumer may move it out of the struct's
// schema and release it after that one.
struct ChildSchemaParts {
    std::shared_ptr<const Table> table;
    ArrowSchema dictionary{};
};

struct SchemaParts {
    std::vector<ArrowSchema> children;
    std::vector<ArrowSchema*> child_pointers;
};

// A dictionary's schema lives in its column's parts and is freed with them.
void release_dictionary_schema(ArrowSchema* schema) { schema->release = nullptr; }

void release_child_schema(ArrowSchema* schema) {
    auto* parts = static_cast<ChildSchemaParts*>(schema->private_data);
    if (parts->dictionary.release != nullptr) parts->dictionary.release(&parts->dictionary);
    delete parts;
    schema->release = nullptr;
}

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
    const void* buffers[3] = {nullptr, nullptr, nullptr};
    std::vector<ArrowArray> children;
    std::vector<ArrowArray*> child_pointers;
    std::unique_ptr<ArrayParts> dictionary_parts;
    ArrowArray dictionary{};
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

// A dictionary's array lives in its column's parts and is freed with them.
void release_dictionary_array(ArrowArray* array) { array->release = nullptr; }

// The array of `column` in `parts` (which hold the table, and so the column).
void fill_column(ArrowArray* out, ArrayParts* parts, const OwnedColumn& column) {
    const bool text = column.arrow_format == "u";
    parts->buffers[0] = column.validity.empty() ? nullptr : column.validity.data();
    if (text) {
        parts->buffers[1] = column.offsets.data();
        parts->buffers[2] = column.bytes.data();
    } else {
        parts->buffers[1] = column.bytes.data();
    }
    *out = ArrowArray{column.length(), column.null_count, 0, text ? 3 : 2, 0, parts->buffers, nullptr, nullptr,
                      release_array, parts};
    if (column.dictionary) {
        parts->dictionary_parts = std::make_unique<ArrayParts>();
        ArrayParts* names = parts->dictionary_parts.get();
        fill_column(&parts->dictionary, names, *column.dictionary);
        parts->dictionary.release = release_dictionary_array;
        out->dictionary = &parts->dictionary;
    }
}

void schema_of(const std::shared_ptr<const Table>& table, ArrowSchema* out) {
    const std::size_t n = table->columns.size();
    // Every part is made before any is handed over, so that running out
    // of memory halfway leaks nothing.
    auto parts = std::make_unique<SchemaParts>();
    parts->children.resize(n);
    parts->child_pointers.resize(n);
    std::vector<std::unique_ptr<ChildSchemaParts>> columns(n);
    for (auto& column : columns) {
        column = std::make_unique<ChildSchemaParts>();
        column->table = table;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const OwnedColumn& column = table->columns[i];
        ChildSchemaParts* own = columns[i].release();
        ArrowSchema* dictionary = nullptr;
        if (column.dictionary) {
            dictionary = &own->dictionary;
            *dictionary = ArrowSchema{"u", "", nullptr, 0, 0, nullptr, nullptr, release_dictionary_schema, nullptr};
        }
        const int64_t flags = column.nullable || !column.validity.empty() ? ARROW_FLAG_NULLABLE : 0;
        parts->children[i] = ArrowSchema{column.arrow_format.c_str(), column.name.c_str(), nullptr, flags, 0,
                                         nullptr, dictionary, release_child_schema, own};
        parts->child_pointers[i] = &parts->children[i];
    }
    ArrowSchema** children = parts->child_pointers.data();
    *out = ArrowSchema{"+s", "", nullptr, 0, static_cast<int64_t>(n), children, nullptr, release_schema,
                       parts.release()};
}

void array_of(std::shared_ptr<const Table> table, ArrowArray* out) {
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
        fill_column(&top->children[i], columns[i].get(), table->columns[i]);
        top->child_pointers[i] = &top->children[i];
    }
    for (auto& column : columns) column.release();
    const auto children = static_cast<int64_t>(n);
    ArrayParts* parts = top.release();
    *out = ArrowArray{table->rows, 0, 0, 1, children, parts->buffers,
                      children > 0 ? parts->child_pointers.data() : nullptr, nullptr, release_array, parts};
}

class TableSource : public BatchSource {
public:
    explicit TableSource(std::shared_ptr<const Table> table) : table(std::move(table)) {}

    void schema(ArrowSchema* out) override { schema_of(table, out); }

    bool next(ArrowArray* out) override {
        if (taken) return false;
        array_of(table, out);
        taken = true;
        return true;
    }

private:
    std::shared_ptr<const Table> table;
    bool taken = false;
};

}  // namespace

void export_columns_schema(const std::vector<OwnedColumn>& columns, ArrowSchema* out) {
    // The schema holds the names and formats it points to: a table of the
    // columns' descriptions, without their values.
    auto table = std::make_shared<Table>();
    table->columns.reserve(columns.size());
    for (const OwnedColumn& column : columns) {
        OwnedColumn described;
        described.name = column.name;
        described.arrow_format = column.arrow_format;
        described.nullable = column.nullable || !column.validity.empty();
        described.dictionary = column.dictionary;
        table->columns.push_back(std::move(described));
    }
    schema_of(std::move(table), out);
}

void export_columns_array(std::vector<OwnedColumn> columns, int64_t rows, ArrowArray* out) {
    auto table = std::make_shared<Table>();
    table->columns = std::move(columns);
    table->rows = rows;
    array_of(std::move(table), out);
}

void export_table_stream(std::vector<OwnedColumn> columns, int64_t rows, ArrowArrayStream* out) {
    auto table = std::make_shared<Table>();
    table->columns = std::move(columns);
    table->rows = rows;
    export_stream(std::make_unique<TableSource>(std::move(table)), out);
}

}  // namespace zentrail
