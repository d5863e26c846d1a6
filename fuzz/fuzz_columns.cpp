// Arbitrary bytes as a selection and one archive file: the column builder
// must give exactly the rows of the plain reference (each record broken down
// into its row, each index tested on its own) for every item the reader
// delivers, whatever the bounds, codes and batch size.
//
// Input: one byte choosing the bounds, one byte of batch size, one byte n,
// then n codes of two bytes (id % 8, index - 8), then the file's bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive/parser.h"
#include "archive/read_errors.h"
#include "archive/record_sink.h"
#include "scan/column_builder.h"
#include "reference_columns.h"
#include "scratch_file.h"

namespace {

using namespace zentrail;

// Both sinks see every item the reader delivers.
class BothSinks : public RecordSink {
public:
    BothSinks(RecordSink* a, RecordSink* b) : a(a), b(b) {}
    void export_value(ACI_WITH_DATE* item) override {
        a->export_value(item);
        b->export_value(item);
    }

private:
    RecordSink* a;
    RecordSink* b;
};

constexpr const char* BOUNDS[][2] = {
    {"2000-01-01 00:00:00", "2099-12-31 23:59:59"},
    {"2024-03-01 12:00:00", "2024-03-01 12:59:59"},
    {"2000-01-01 00:00:00", "2000-01-01 00:00:00"},
    {"2024-02-30 24:61:61", "2024-13-00 00:00:00"},  // fields out of range
    {"2024-03-02 00:00:00", "2024-03-01 00:00:00"},  // swapped
    {"none", "2099-12-31 23:59:59"},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const auto* bounds = BOUNDS[data[0] % (sizeof BOUNDS / sizeof BOUNDS[0])];
    const std::size_t batch_rows = 1 + data[1] % 16;
    std::size_t pos = 3;
    Filter filter(bounds[0], bounds[1], -1);
    for (int n = data[2] % 32; n > 0 && pos + 2 <= size; --n, pos += 2) {
        filter.addId((data[pos] % 8) * INDEX_RANGE + (data[pos + 1] - 8));
    }
    const std::string path = fuzz_support::scratch_file();
    fuzz_support::write_file(path, data + pos, size - pos);

    std::vector<testing::ColumnRow> built;
    ColumnBuilder builder(&filter, batch_rows, [&](std::unique_ptr<ColumnBatch> batch) {
        if (batch->rows > batch_rows) std::abort();
        testing::append_rows(*batch, &built);
    });
    testing::ReferenceColumns reference(&filter);
    BothSinks both(&builder, &reference);
    // One reader for the process (its window is large). It passes every item
    // on, so that both sinks also see items of ids the filter does not hold.
    static Parser parser(nullptr);
    const PathList paths{path};
    try {
        parser.exportFiles(&both, &paths);
    } catch (const FileFormatError&) {
    }
    builder.flush();
    if (built.size() != reference.rows.size()) {
        std::fprintf(stderr, "column builder gave %zu rows, the reference %zu\n", built.size(), reference.rows.size());
        std::abort();
    }
    for (std::size_t r = 0; r < built.size(); ++r) {
        if (!(built[r] == reference.rows[r])) {
            std::fprintf(stderr, "row %zu differs from the reference\n", r);
            std::abort();
        }
    }
    return 0;
}
