#include "scan/tail_reader.h"

#include <algorithm>

namespace zentrail {

TailReader::TailReader(const Filter* filter, const RowPredicate* predicate, std::size_t batch_rows)
    : filter(filter), predicate(predicate), batch_rows(batch_rows), parser(filter) {
    parser.set_payload_classes(0);  // the builder reads the stored payloads
}

ResumePoint TailReader::read(const std::string& path, const ResumePoint& from, int64_t max_bytes,
                             const ColumnBuilder::BatchHandler& on_batch) {
    ColumnBuilder builder(filter, batch_rows, on_batch, nullptr, predicate);
    const ResumePoint next = parser.read_file_from(&builder, path, from, from.offset + std::max(max_bytes, MIN_STEP));
    builder.flush();
    return next;
}

}  // namespace zentrail
