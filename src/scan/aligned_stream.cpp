#include "scan/aligned_stream.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <utility>
#include <vector>

#include "scan/arrow_stream.h"
#include "scan/table_arrow.h"

namespace zentrail {

namespace {

constexpr std::chrono::milliseconds WAIT_SLICE{20};

// A column of `bytes` values of an Arrow primitive format.
OwnedColumn primitive_column(std::string name, std::string format, std::size_t bytes) {
    OwnedColumn column;
    column.name = std::move(name);
    column.arrow_format = std::move(format);
    column.bytes.resize(bytes);
    return column;
}

// One batch of grid rows in one block of memory, the times first and then
// each column, `stride` rows apart: a batch costs one allocation, not one
// per column, and no byte of it is written twice. Its arrays, the struct's
// and every column's, each hold a reference to it, so that a consumer may
// move columns out and release them in any order.
struct BlockBatch {
    std::atomic<int64_t> references{1};
    std::unique_ptr<uint8_t[]> block;
    std::vector<std::array<const void*, 2>> buffers;  // per column: no validity, the values
    std::vector<ArrowArray> children;
    std::vector<ArrowArray*> child_pointers;
    const void* struct_buffers[1] = {nullptr};
};

void unreference(BlockBatch* batch) {
    if (batch->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete batch;
}

void release_column(ArrowArray* array) {
    unreference(static_cast<BlockBatch*>(array->private_data));
    array->release = nullptr;
}

void release_batch(ArrowArray* array) {
    auto* batch = static_cast<BlockBatch*>(array->private_data);
    for (ArrowArray* child : batch->child_pointers) {
        if (child->release != nullptr) child->release(child);
    }
    array->release = nullptr;
    unreference(batch);
}

class AlignedSource : public BatchSource {
public:
    AlignedSource(std::unique_ptr<AlignedRead> read, std::function<void()> on_wait)
        : read(std::move(read)), on_wait(std::move(on_wait)) {}

    void schema(ArrowSchema* out) override {
        _prepare();
        export_columns_schema(_columns(0), out);
    }

    bool next(ArrowArray* out) override {
        _prepare();
        const std::size_t count = read->columns().size() + 1;  // the times, then the values
        const std::size_t stride = read->batch_rows_of();
        auto batch = std::make_unique<BlockBatch>();
        batch->block.reset(new uint8_t[count * stride * 8]);  // left unwritten past the rows
        GridTarget target;
        target.times = reinterpret_cast<int64_t*>(batch->block.get());
        for (std::size_t k = 1; k < count; ++k) {
            target.values.push_back(reinterpret_cast<double*>(batch->block.get() + k * stride * 8));
        }
        std::size_t rows = 0;
        for (;;) {
            const auto got = read->next_into(&target, stride, stride, &rows, WAIT_SLICE);
            if (got == AlignedRead::Next::Finished) return false;
            if (got == AlignedRead::Next::Ready) break;
            if (on_wait) on_wait();
        }
        batch->buffers.resize(count);
        batch->children.resize(count);
        batch->child_pointers.resize(count);
        for (std::size_t k = 0; k < count; ++k) {
            batch->buffers[k] = {nullptr, batch->block.get() + k * stride * 8};
            batch->children[k] = ArrowArray{static_cast<int64_t>(rows), 0, 0, 2, 0, batch->buffers[k].data(),
                                            nullptr, nullptr, release_column, batch.get()};
            batch->child_pointers[k] = &batch->children[k];
        }
        batch->references.store(static_cast<int64_t>(count) + 1);
        BlockBatch* parts = batch.release();
        *out = ArrowArray{static_cast<int64_t>(rows), 0, 0, 1, static_cast<int64_t>(count), parts->struct_buffers,
                          parts->child_pointers.data(), nullptr, release_batch, parts};
        return true;
    }

private:
    void _prepare() {
        while (!read->prepare(WAIT_SLICE)) {
            if (on_wait) on_wait();
        }
    }
    std::vector<OwnedColumn> _columns(std::size_t rows) const {
        std::vector<OwnedColumn> columns;
        columns.reserve(read->columns().size() + 1);
        columns.push_back(primitive_column("time", read->time_format(), rows * sizeof(int64_t)));
        for (std::size_t k = 0; k < read->columns().size(); ++k) {
            columns.push_back(primitive_column(code_column_name(read->columns().code(k)), "g", rows * sizeof(double)));
        }
        return columns;
    }

    std::unique_ptr<AlignedRead> read;
    std::function<void()> on_wait;
};

}  // namespace

std::string code_column_name(int32_t code) {
    return std::to_string(code / 1024) + ":" + std::to_string(code % 1024);
}

void export_aligned_stream(std::unique_ptr<AlignedRead> read, std::function<void()> on_wait, ArrowArrayStream* out) {
    export_stream(std::make_unique<AlignedSource>(std::move(read), std::move(on_wait)), out);
}

}  // namespace zentrail
