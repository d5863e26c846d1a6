#include "scan/aligned_stream.h"

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
        AlignedBatch batch;
        for (;;) {
            const auto got = read->next(&batch, WAIT_SLICE);
            if (got == AlignedRead::Next::Finished) return false;
            if (got == AlignedRead::Next::Ready) break;
            if (on_wait) on_wait();
        }
        const std::size_t rows = batch.rows();
        std::vector<OwnedColumn> columns = _columns(0);
        columns[0].bytes = std::move(batch.times);
        for (std::size_t k = 0; k < batch.values.size(); ++k) columns[k + 1].bytes = std::move(batch.values[k]);
        export_columns_array(std::move(columns), static_cast<int64_t>(rows), out);
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
