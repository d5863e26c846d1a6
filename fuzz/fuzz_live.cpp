// Arbitrary bytes as a file a runtime is still writing, followed by the
// reader of a file's tail: the file grows in chunks of any size (a record
// cut anywhere), is cut back, has bytes rewritten or is replaced, and is
// read from where the last read stopped, whole or up to a byte limit, by
// one parser or a new one each time (as after a restart). Nothing may crash
// or hang; and wherever every state the reads saw (since the last read from
// the start) is a beginning of the final file, the rows read in pieces must
// be the rows of the final file read whole, and the pieces must stop where
// the whole read stops (or fail at its malformed record).
//
// Input: a byte choosing the window and the kept classes, a byte of ids (bit
// k selects elements 0 to 3 of id k; 0 selects every code), a byte for the
// batch size and whether each read takes a new parser, the number of steps,
// three bytes a step (what, and two numbers), then the bytes the runtime
// writes, each at its own offset of the file.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "archive/parser.h"
#include "archive/read_errors.h"
#include "reference_columns.h"
#include "scan/column_builder.h"
#include "scan/tail_reader.h"
#include "scratch_file.h"
#include "time/calendar.h"

namespace {

using namespace zentrail;
using Rows = std::vector<testing::ColumnRow>;
using Bytes = std::vector<uint8_t>;

const InstantWindow WINDOWS[] = {
    {true, 0, UINT64_MAX},
    {true, 8826 * NS_PER_DAY, 8827 * NS_PER_DAY - 1},
    {true, 8826 * NS_PER_DAY + 12 * 3600 * NS_PER_SECOND, 8826 * NS_PER_DAY + 13 * 3600 * NS_PER_SECOND - 1},
    {true, NS_PER_DAY, UINT64_MAX - 1},
};

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

template <typename T>
T field(const ColumnStore& store, std::size_t column, std::size_t row) {
    T v;
    std::memcpy(&v, static_cast<const char*>(store.column(column)->data()) + row * sizeof v, sizeof v);
    return v;
}

void append_store(const ColumnStore& store, Rows* rows) {
    const std::size_t n = store.column(0)->size() / sizeof(int64_t);
    for (std::size_t r = 0; r < n; ++r) {
        rows->push_back({field<int64_t>(store, 0, r), field<uint16_t>(store, 1, r), field<uint16_t>(store, 2, r),
                         field<double>(store, 3, r), field<uint8_t>(store, 4, r), field<uint8_t>(store, 5, r)});
    }
}

bool same_place(const ResumePoint& a, const ResumePoint& b) {
    return a.offset == b.offset && a.day == b.day && a.id == b.id && a.ended == b.ended;
}

// What a reading of the file gave: its rows in read order, the place after
// them, or the offset of the malformed record that ended it.
struct Outcome {
    Rows rows;
    ResumePoint place;
    int64_t error_offset = -1;
};

// The file read as the tail reader reads it, but through at most `limit`
// bytes (negative: all of them), with the rows of a failed read kept.
void read_limited(Parser& parser, const ReadPlan& plan, const std::string& path, Outcome* out, int64_t limit) {
    ColumnBuilder builder(
        plan.filter.get(), plan.batch_rows,
        [&](std::unique_ptr<ColumnBatch> batch) { testing::append_rows(*batch, &out->rows); }, nullptr,
        plan.row_predicate());
    try {
        out->place = parser.read_file_from(&builder, path, out->place, limit);
    } catch (const FileFormatError& e) {
        out->error_offset = e.offset;
    }
    builder.flush();
}

// The writer's side: the file as it stands, mirrored on disk.
struct LiveFile {
    std::string path;
    Bytes now;
    const uint8_t* source;  // what the runtime writes at each offset
    std::size_t source_size;

    void grow(std::size_t n) {
        if (now.size() >= source_size) return;
        const std::size_t end = std::min(source_size, now.size() + n);
        std::FILE* f = std::fopen(path.c_str(), "ab");
        if (f == nullptr) std::abort();
        if (std::fwrite(source + now.size(), 1, end - now.size(), f) != end - now.size()) std::abort();
        std::fclose(f);
        now.insert(now.end(), source + now.size(), source + end);
    }
    void replace(Bytes bytes) {
        now = std::move(bytes);
        fuzz_support::write_file(path, now.data(), now.size());
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    ReadPlan plan;
    plan.filter = std::make_unique<Filter>(WINDOWS[data[0] % 4]);
    if (data[0] & 0x80) {
        plan.has_predicate = true;
        plan.predicate.classes = 0x01010101u * (data[0] & 0x7C);
        plan.predicate.subtypes = static_cast<uint8_t>(data[0] | 0x0F);
    }
    const uint8_t ids = data[1];
    if (ids == 0) {
        plan.filter->select_every_code();
    } else {
        for (int id = 0; id < 8; ++id) {
            for (int n = 0; n < 4 && ((ids >> id) & 1); ++n) plan.filter->addId(id * INDEX_RANGE + n);
        }
    }
    plan.batch_rows = 1 + data[2] % 8;
    const bool restarts = data[2] & 0x80;
    const std::size_t steps = std::min<std::size_t>(data[3] % 32, (size - 4) / 3);
    const uint8_t* step = data + 4;
    LiveFile file{fuzz_support::scratch_file(), {}, data + 4 + 3 * steps, size - 4 - 3 * steps};
    file.replace({});

    // The reader's side.
    auto parser = std::make_unique<Parser>(plan.filter.get());
    parser->set_payload_classes(0);
    Outcome pieces;
    bool failed = false;
    std::vector<Bytes> seen;  // every state of the file a read saw since the last start
    auto read = [&](int64_t limit) {
        if (failed || pieces.place.ended) return;
        if (restarts) {
            parser = std::make_unique<Parser>(plan.filter.get());
            parser->set_payload_classes(0);
        }
        seen.push_back(file.now);
        const int64_t from = pieces.place.offset;
        if (limit >= 0) {
            read_limited(*parser, plan, file.path, &pieces, from + limit);
            failed = pieces.error_offset >= 0;
        } else {
            TailRows tail;
            try {
                read_tail(*parser, plan, file.path, pieces.place, 0, &tail);
                pieces.place = tail.next;
            } catch (const FileFormatError& e) {
                pieces.error_offset = e.offset;
                failed = true;
            }
            append_store(tail.rows, &pieces.rows);
        }
        if (pieces.place.offset < from) fail("a read went back");
    };

    for (std::size_t s = 0; s < steps; ++s, step += 3) {
        const unsigned amount = step[1] | step[2] << 8;
        switch (step[0] % 8) {
            case 0:  // a chunk written and read
                file.grow(1 + amount % 512);
                read(-1);
                break;
            case 1:  // a chunk written, not yet read
                file.grow(1 + amount % 512);
                break;
            case 2:  // a read of at most a few hundred bytes
                read(amount % 300);
                break;
            case 3: {  // cut back (mid-record, as a crashed runtime leaves it)
                Bytes cut(file.now.begin(), file.now.begin() + static_cast<std::ptrdiff_t>(amount % (file.now.size() + 1)));
                file.replace(std::move(cut));
                break;
            }
            case 4: {  // bytes rewritten in place
                Bytes changed = file.now;
                for (std::size_t i = 0; i < 1 + step[2] % 16 && !changed.empty(); ++i) {
                    changed[(step[1] + i * 7) % changed.size()] ^= static_cast<uint8_t>(step[2] | 1);
                }
                file.replace(std::move(changed));
                break;
            }
            case 5: {  // replaced by another file: the bytes from elsewhere
                const std::size_t from = file.source_size == 0 ? 0 : amount % file.source_size;
                file.replace(Bytes(file.source + from, file.source + std::min(file.source_size, from + amount % 700)));
                break;
            }
            case 6:  // read again from the start (as on finding a rewrite)
                pieces = Outcome();
                failed = false;
                seen.clear();
                break;
            default:
                read(-1);
        }
    }
    // The runtime writes the rest; the reader follows it to the end.
    file.grow(file.source_size);
    for (int n = 0; n < 4 && !failed && !pieces.place.ended; ++n) {
        const ResumePoint before = pieces.place;
        read(-1);
        if (same_place(before, pieces.place)) break;
    }

    for (const Bytes& state : seen) {
        if (state.size() > file.now.size() || !std::equal(state.begin(), state.end(), file.now.begin())) return 0;
    }
    Outcome whole;
    Parser fresh(plan.filter.get());
    fresh.set_payload_classes(0);
    read_limited(fresh, plan, file.path, &whole, -1);
    if (failed) {
        if (pieces.error_offset != whole.error_offset) fail("the pieces failed at another record");
        if (pieces.rows.size() > whole.rows.size() ||
            !std::equal(pieces.rows.begin(), pieces.rows.end(), whole.rows.begin())) {
            fail("the rows before a failure differ from the whole read's");
        }
        return 0;
    }
    if (whole.error_offset >= 0) fail("the whole read failed, the pieces did not");
    if (!(pieces.rows == whole.rows)) fail("the rows read in pieces differ from the whole read's");
    if (!same_place(pieces.place, whole.place)) fail("the pieces stopped elsewhere than the whole read");
    return 0;
}
