// The rows a columnar read must give, worked out the plain way: each item
// broken down into its row, the window tested on the calendar fields, every
// element index tested on its own, each value read by its type's accessor.
// The column builder takes shortcuts past all of these; tests and the fuzzer
// hold it to this.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "archive/record_sink.h"
#include "output/archive_row.h"
#include "scan/column_batch.h"
#include "selection/filter.h"

namespace zentrail::testing {

struct ColumnRow {
    int64_t time;
    uint16_t signal_id;
    uint16_t element;
    double value;
    uint8_t item_class;
    uint8_t subtype;

    bool operator==(const ColumnRow& o) const {
        // Bit for bit, so that NaN equals NaN and -0.0 differs from 0.0.
        return time == o.time && signal_id == o.signal_id && element == o.element &&
               std::memcmp(&value, &o.value, sizeof value) == 0 && item_class == o.item_class &&
               subtype == o.subtype;
    }
};

inline void append_rows(const ColumnBatch& batch, std::vector<ColumnRow>* rows) {
    for (std::size_t r = 0; r < batch.rows; ++r) {
        rows->push_back({batch.time[r], batch.signal_id[r], batch.element[r], batch.value[r], batch.item_class[r],
                         batch.subtype[r]});
    }
}

class ReferenceColumns : public RecordSink {
public:
    explicit ReferenceColumns(const Filter* filter) : filter(filter) {}

    void export_value(ACI_WITH_DATE* item) override {
        const ArchiveRow row = build_value_row(item);
        if (!filter->hasDate(row.datetime)) return;
        const AR_COMMON_ITEM& it = item->item;
        const uint64_t stamp = code_date(static_cast<int32_t>(item->date)) + code_time(it.ticks_hi, it.ticks_lo);
        const ColumnRow base{static_cast<int64_t>(stamp) + ARCHIVE_EPOCH_UNIX_NS, it.id, 0, std::nan(""),
                             static_cast<uint8_t>(ARCLASS(it.code)), static_cast<uint8_t>(ARSUBTYPE(it.code))};
        const int32_t type = row.get_JSON_data_type();
        if (type == ROW_TEXT) rows.push_back(base);
        if (type != ROW_BOOL && type != ROW_INT && type != ROW_DOUBLE) return;
        for (int n = row.element_count - 1; n >= 0; --n) {
            if (!filter->hasIndex(static_cast<int>(row.id), n)) continue;
            const int p = row.element_count - 1 - n;
            ColumnRow value = base;
            value.element = static_cast<uint16_t>(n);
            value.value = type == ROW_BOOL  ? (row.get_bool(p) ? 1.0 : 0.0)
                          : type == ROW_INT ? static_cast<double>(row.get_int(p))
                                            : row.get_double(p);
            rows.push_back(value);
        }
    }

    std::vector<ColumnRow> rows;

private:
    const Filter* filter;
};

}  // namespace zentrail::testing
