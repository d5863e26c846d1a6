// Arbitrary bytes as a scan and up to three archive files, consumed through
// the streamed Arrow export in random-sized steps (arrays held a while, then
// released in any order), sometimes released early: every array must hold
// exactly the next rows of the whole columns that a plain one-file-at-a-time
// read gives (with the same conditions applied row by row), in the selected
// columns; the end comes where those columns end, or the failure with its
// error text, or the row limit; nothing may leak or hang.
//
// Input: bounds, batch size, threads, two cut points, a column byte, class
// and subtype masks, limit, step seed, n, then n codes of two bytes (id % 8,
// index - 8), then the bytes cut into the files.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/parser.h"
#include "archive/read_errors.h"
#include "scan/arrow_stream.h"
#include "scan/column_builder.h"
#include "reference_columns.h"
#include "scratch_file.h"

namespace {

using namespace zentrail;

constexpr const char* BOUNDS[][2] = {
    {"2000-01-01 00:00:00", "2099-12-31 23:59:59"},
    {"2024-03-01 12:00:00", "2024-03-01 12:59:59"},
    {"2024-03-02 00:00:00", "2024-03-01 00:00:00"},
};

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

// The rows of the files read one after the other with the plain builder,
// up to a failure; true if one came.
bool whole_columns(const Filter& filter, const RowPredicate& predicate, const PathList& paths,
                   std::vector<testing::ColumnRow>* rows) {
    Parser parser(&filter);
    ColumnBuilder builder(&filter, 512, [&](std::unique_ptr<ColumnBatch> batch) {
        testing::append_rows(*batch, rows);
    });
    bool failed = false;
    try {
        for (const std::string& path : paths) parser.read_file(&builder, path);
    } catch (const FileFormatError&) {
        failed = true;
    }
    builder.flush();
    std::vector<testing::ColumnRow> kept;
    for (const testing::ColumnRow& row : *rows) {
        if (predicate.keeps_item(row.item_class, row.subtype) && predicate.keeps_element(row.element)) {
            kept.push_back(row);
        }
    }
    rows->swap(kept);
    return failed;
}

const void* field_of(const testing::ColumnRow& row, std::size_t column) {
    const void* fields[] = {&row.time, &row.signal_id, &row.element, &row.value, &row.item_class, &row.subtype};
    return fields[column];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 12) return 0;
    const auto* bounds = BOUNDS[data[0] % (sizeof BOUNDS / sizeof BOUNDS[0])];
    const std::size_t batch_rows = 1 + data[1] % 16;
    const int threads = 1 + data[2] % 3;
    const uint8_t column_byte = data[5];
    RowPredicate predicate;
    predicate.classes = data[6] & 0x80 ? ~uint32_t{0} : 0x01010101u * data[6];
    predicate.subtypes = data[7] & 0x80 ? 0xFF : data[7] | 1;
    for (std::size_t n = 0; n < ELEMENT_INDEX_COUNT; n += 1 + (data[7] & 3)) predicate.elements[n] = data[7] & 0x40;
    const int64_t limit = data[8] == 0xFF ? -1 : data[8];
    uint32_t steps = data[9];
    std::size_t pos = 11;
    auto filter = std::make_unique<Filter>(bounds[0], bounds[1], -1);
    for (int n = data[10] % 32; n > 0 && pos + 2 <= size; --n, pos += 2) {
        filter->addId((data[pos] % 8) * INDEX_RANGE + (data[pos + 1] - 8));
    }
    // Up to three files, cut from the rest.
    const std::size_t rest = size - pos;
    std::size_t cut1 = rest == 0 ? 0 : data[3] * rest / 255, cut2 = rest == 0 ? 0 : data[4] * rest / 255;
    if (cut1 > cut2) std::swap(cut1, cut2);
    const std::string base = fuzz_support::scratch_file();
    PathList paths;
    const std::size_t cuts[] = {0, cut1, cut2, rest};
    for (int k = 0; k < 3; ++k) {
        if (k > 0 && cuts[k] == cuts[k + 1]) continue;
        paths.push_back(base + "." + std::to_string(k));
        fuzz_support::write_file(paths.back(), data + pos + cuts[k], cuts[k + 1] - cuts[k]);
    }

    std::vector<testing::ColumnRow> expected;
    const bool fails = whole_columns(*filter, predicate, paths, &expected);

    StreamPlan plan;
    plan.filter = std::move(filter);
    plan.predicate = predicate;
    plan.has_predicate = true;
    // The selected columns: those of the byte's bits, rotated.
    plan.columns.count = 0;
    for (std::size_t i = 0; i < COLUMN_COUNT; ++i) {
        const std::size_t column = (i + column_byte / 64) % COLUMN_COUNT;
        if (column_byte & (1u << column)) plan.columns.order[plan.columns.count++] = column;
    }
    plan.paths = paths;
    plan.threads = threads;
    plan.batch_rows = batch_rows;
    plan.limit = limit;
    ArrowArrayStream stream;
    export_read_stream(std::move(plan), &stream);
    ArrowSchema schema;
    if (stream.get_schema(&stream, &schema) != 0 || schema.n_children != static_cast<int64_t>(0 + [&] {
            std::size_t n = 0;
            for (std::size_t c = 0; c < COLUMN_COUNT; ++c) n += (column_byte >> c) & 1;
            return n;
        }())) {
        fail("schema of the wrong width");
    }
    schema.release(&schema);

    std::vector<ArrowArray> held;
    std::size_t given = 0;
    const std::size_t wanted = limit < 0 ? expected.size() : std::min<std::size_t>(expected.size(), limit);
    const bool early = steps & 0x80;
    uint32_t calls = steps & 0x0F;
    bool ended = false;
    while (!ended) {
        if (early && calls-- == 0) break;
        ArrowArray array;
        const int code = stream.get_next(&stream, &array);
        if (code != 0) {
            const char* error = stream.get_last_error(&stream);
            if (!fails || given != expected.size() || code != EINVAL || error == nullptr ||
                std::strstr(error, "malformed record at byte") == nullptr) {
                fail("a failure where the whole columns have none, or before their end, or without its text");
            }
            break;
        }
        if (array.release == nullptr) {
            if (given != wanted || (fails && (limit < 0 || given < static_cast<std::size_t>(limit)))) {
                fail("the stream ended before the rows, or without the failure");
            }
            ended = true;
            break;
        }
        if (array.length <= 0 || given + array.length > wanted) fail("more rows than the whole columns");
        for (int64_t c = 0; c < array.n_children; ++c) {
            const std::size_t column = [&] {
                std::size_t k = 0;
                for (std::size_t i = 0; i < COLUMN_COUNT; ++i) {
                    const std::size_t col = (i + column_byte / 64) % COLUMN_COUNT;
                    if (column_byte & (1u << col)) {
                        if (k == static_cast<std::size_t>(c)) return col;
                        ++k;
                    }
                }
                return COLUMN_COUNT;
            }();
            const ArrowArray* child = array.children[c];
            const auto* bytes = static_cast<const unsigned char*>(child->buffers[1]);
            for (int64_t r = 0; r < array.length; ++r) {
                if (std::memcmp(bytes + r * COLUMNS[column].width, field_of(expected[given + r], column),
                                COLUMNS[column].width) != 0) {
                    fail("a value differs from the whole columns");
                }
            }
        }
        given += static_cast<std::size_t>(array.length);
        held.push_back(array);
        // Held arrays go back in random-sized groups, newest or oldest first.
        if ((steps = steps * 1103515245u + 12345u) % 3 == 0) {
            while (!held.empty()) {
                ArrowArray& first = (steps & 0x100) ? held.back() : held.front();
                first.release(&first);
                if (steps & 0x100) held.pop_back(); else held.erase(held.begin());
            }
        }
    }
    stream.release(&stream);
    // Arrays outlive the stream they came from.
    for (ArrowArray& array : held) array.release(&array);
    for (const std::string& path : paths) std::remove(path.c_str());
    return 0;
}
