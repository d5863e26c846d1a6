#include "scan/arrow_export.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <mutex>
#include <set>
#include <string>

#include "archive/item_format.h"
#include "output/archive_row.h"

namespace zentrail {

namespace {

struct SchemaParts {
    ArrowSchema children[SELECTABLE_COUNT];
    ArrowSchema* child_pointers[SELECTABLE_COUNT];
};

void release_dictionary_schema(ArrowSchema* schema) { schema->release = nullptr; }

// A child's dictionary is its own (private_data), so that a consumer may
// move the child out and release it after the struct.
void release_child_schema(ArrowSchema* schema) {
    if (auto* dictionary = static_cast<ArrowSchema*>(schema->private_data)) {
        if (dictionary->release != nullptr) dictionary->release(dictionary);
        delete dictionary;
    }
    schema->release = nullptr;
}

// The strings of a name column's dictionary as Arrow lays them out, built
// once from the one name table, each name once (pandas takes a dictionary
// as categories, which must differ): the 32 class names by class number,
// and the distinct subtype names sorted, found through `place` from
// item_class * 8 + subtype, as the text writer prints them for a record of
// that class.
struct NameDictionary {
    std::vector<int32_t> offsets{0};
    std::string bytes;
    uint8_t place[256] = {};
    const void* buffers[3] = {nullptr, nullptr, nullptr};

    // The distinct names sorted, or as they stand when `in_order` (the
    // caller's names are distinct).
    NameDictionary(const std::vector<std::string>& names, bool in_order) {
        std::vector<std::string> distinct(names);
        if (!in_order) {
            std::sort(distinct.begin(), distinct.end());
            distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
        }
        for (const std::string& name : distinct) {
            bytes += name;
            offsets.push_back(static_cast<int32_t>(bytes.size()));
        }
        for (std::size_t code = 0; code < names.size(); ++code) {
            place[code] = in_order ? static_cast<uint8_t>(code)
                                   : static_cast<uint8_t>(std::lower_bound(distinct.begin(), distinct.end(),
                                                                           names[code]) - distinct.begin());
        }
        buffers[1] = offsets.data();
        buffers[2] = bytes.data();
    }
    int64_t length() const { return static_cast<int64_t>(offsets.size()) - 1; }
};

std::vector<std::string> class_names() { return std::vector<std::string>(CLASS_NAMES, CLASS_NAMES + 32); }

std::vector<std::string> subtype_names() {
    std::vector<std::string> names;
    for (int code = 0; code < 256; ++code) {
        ACI_WITH_DATE item{};
        item.item.code = static_cast<uint8_t>(ARCODE(code / 8, code % 8));
        names.emplace_back(build_named_row(&item).subtype_name);
    }
    return names;
}

// The class names are distinct, so a class's place is its number and the
// item_class column is class_name's indices as it stands.
struct NameDictionaries {
    NameDictionary classes{class_names(), true};
    NameDictionary subtypes{subtype_names(), false};
};

const NameDictionary& name_dictionary(std::size_t column) {
    static const NameDictionaries dictionaries;
    return column == CLASS_NAME_COLUMN ? dictionaries.classes : dictionaries.subtypes;
}

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
    ArrowArray children[SELECTABLE_COUNT];
    ArrowArray* child_pointers[SELECTABLE_COUNT];
    // A name column's: its indices when they are not a column of the batch,
    // and its dictionary (whose strings are static).
    std::unique_ptr<uint8_t[]> indices;
    ArrowArray dictionary{};
};

void release_dictionary_array(ArrowArray* array) { array->release = nullptr; }

void release_array(ArrowArray* array) {
    auto* parts = static_cast<ArrayParts*>(array->private_data);
    for (int64_t i = 0; i < array->n_children; ++i) {
        ArrowArray* child = array->children[i];
        if (child->release != nullptr) child->release(child);
    }
    if (array->dictionary != nullptr && array->dictionary->release != nullptr) {
        array->dictionary->release(array->dictionary);
    }
    delete parts;
    array->release = nullptr;
}

// Makes `parts` those of a name column of `batch`: indices and dictionary.
void fill_name_column(ArrowArray* out, ArrayParts* parts, const ColumnBatch& batch, std::size_t column) {
    const NameDictionary& names = name_dictionary(column);
    if (column == CLASS_NAME_COLUMN) {
        parts->buffers[1] = batch.item_class.get();
    } else {
        parts->indices.reset(new uint8_t[batch.rows > 0 ? batch.rows : 1]);
        for (std::size_t r = 0; r < batch.rows; ++r) {
            parts->indices[r] = names.place[(batch.item_class[r] & 31) * 8 + (batch.subtype[r] & 7)];
        }
        parts->buffers[1] = parts->indices.get();
    }
    parts->dictionary = ArrowArray{names.length(), 0, 0, 3, 0, const_cast<const void**>(names.buffers), nullptr,
                                   nullptr, release_dictionary_array, nullptr};
    out->dictionary = &parts->dictionary;
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

}  // namespace

const char* time_format_of(const std::string& zone) {
    static std::mutex mutex;
    static std::set<std::string> formats;  // one per zone a process reads in: a few at most
    std::lock_guard<std::mutex> lock(mutex);
    return formats.insert("tsn:" + zone).first->c_str();
}

void export_schema(ArrowSchema* out, const ColumnSelection& selection, const char* time_format) {
    auto parts = std::make_unique<SchemaParts>();
    // Each dictionary is made before any is handed over, so that running
    // out of memory halfway leaks nothing.
    std::unique_ptr<ArrowSchema> dictionaries[SELECTABLE_COUNT];
    for (std::size_t i = 0; i < selection.count; ++i) {
        if (selection.order[i] >= COLUMN_COUNT) dictionaries[i] = std::make_unique<ArrowSchema>();
    }
    for (std::size_t i = 0; i < selection.count; ++i) {
        const std::size_t column = selection.order[i];
        ArrowSchema* dictionary = dictionaries[i].release();
        if (dictionary != nullptr) {
            *dictionary = ArrowSchema{"u", "", nullptr, 0, 0, nullptr, nullptr, release_dictionary_schema, nullptr};
        }
        const char* format = dictionary != nullptr ? "C" : column == TIME_COLUMN ? time_format : COLUMNS[column].arrow_format;
        parts->children[i] = ArrowSchema{format,
                                         column_name(column), nullptr, 0, 0, nullptr, dictionary,
                                         release_child_schema, dictionary};
        parts->child_pointers[i] = &parts->children[i];
    }
    ArrowSchema** children = parts->child_pointers;
    *out = ArrowSchema{"+s", "", nullptr, 0, static_cast<int64_t>(selection.count), children,
                       nullptr, release_schema, parts.release()};
}

void export_batch(std::unique_ptr<ColumnBatch> batch, ArrowArray* out, const ColumnSelection& selection) {
    std::shared_ptr<ColumnBatch> shared(std::move(batch));
    const auto length = static_cast<int64_t>(shared->rows);
    // Every part is made before any is handed over, so that running out of
    // memory halfway leaks nothing.
    auto top = std::make_unique<ArrayParts>();
    std::unique_ptr<ArrayParts> columns[SELECTABLE_COUNT];
    for (std::size_t i = 0; i < selection.count; ++i) columns[i] = std::make_unique<ArrayParts>();
    top->batch = shared;
    for (std::size_t i = 0; i < selection.count; ++i) {
        const std::size_t column = selection.order[i];
        columns[i]->batch = shared;
        if (column < COLUMN_COUNT) columns[i]->buffers[1] = shared->column(column);
        ArrayParts* parts = columns[i].get();
        fill_array(&top->children[i], parts, length, 2, 0);
        if (column >= COLUMN_COUNT) fill_name_column(&top->children[i], parts, *shared, column);
        top->child_pointers[i] = &top->children[i];
    }
    for (std::size_t i = 0; i < selection.count; ++i) columns[i].release();
    fill_array(out, top.release(), length, 1, static_cast<int64_t>(selection.count));
}

}  // namespace zentrail
