#include "scan/series_passes.h"

#include <cmath>

#include "archive/record_classes.h"
#include "output/archive_row.h"
#include "output/selected_values.h"
#include "scan/column_batch.h"
#include "time/calendar.h"

namespace zentrail {

HeadPassSink::HeadPassSink(const SeriesWindow& window, int64_t after, const CodeColumns* columns,
                           const RowPredicate* predicate, FileHeads* out)
    : window(window), after(after), columns(columns), predicate(predicate), out(out) {
    if (columns != nullptr) out->codes.assign(columns->size(), CodeCandidates{});
}

void HeadPassSink::export_value(ACI_WITH_DATE* item) {
    if (item->error_item) return;
    const AR_COMMON_ITEM& it = item->item;
    _note(it.code, it.param, it.id, static_cast<int64_t>(item_timestamp(item)) + ARCHIVE_EPOCH_UNIX_NS);
}

void HeadPassSink::export_heads(const RecordHead* heads, std::size_t count, uint32_t date) {
    const int64_t day = static_cast<int64_t>(code_date(static_cast<int32_t>(date))) + ARCHIVE_EPOCH_UNIX_NS;
    for (std::size_t i = 0; i < count; ++i) {
        const RecordHead& h = heads[i];
        _note(h.code, h.param, h.id, day + static_cast<int64_t>(code_time(h.ticks_hi, h.ticks_lo)));
    }
}

void HeadPassSink::_note(uint8_t code, uint8_t param, uint16_t id, int64_t time) {
    if (time < window.first || time > window.last) return;
    const int cls = ARCLASS(code);
    if (cls == System) return;
    if (columns != nullptr && !columns->has_id(id)) return;
    if (time > after) {
        // Every record of the ids counts here (more than the rows): the
        // span only has to hold the rows.
        if (time < out->first_after) out->first_after = time;
        if (time < out->latest) out->ordered = false;
        if (time > out->latest) out->latest = time;
    }
    if (columns == nullptr) return;
    const RecordClass& rc = record_class_of(code);
    if (rc.data_type != ROW_BOOL && rc.data_type != ROW_INT && rc.data_type != ROW_DOUBLE) return;
    if (predicate != nullptr && !predicate->keeps_item(static_cast<uint8_t>(cls), static_cast<uint8_t>(ARSUBTYPE(code)))) {
        return;
    }
    const int32_t count = rc.counts_elements ? param : -1;
    const int32_t base = static_cast<int32_t>(id) * 1024;
    for (uint32_t k = columns->first_of(id), end = columns->end_of(id); k < end; ++k) {
        const int32_t n = columns->code(k) - base;
        if (n >= count) break;
        if (predicate != nullptr && !predicate->keeps_element(n)) continue;
        CodeCandidates& c = out->codes[k];
        if (time <= window.start && time >= c.at_start) {
            c.at_start = time;
            out->before_start = true;
        }
        if (time > c.last_time) c.last_time = time;
    }
}

InForceSink::InForceSink(const Filter* filter, int64_t start, const CodeColumns* columns,
                         const RowPredicate* predicate, FileValues* out)
    : filter(filter), start(start), columns(columns), predicate(predicate), out(out) {
    if (columns != nullptr) out->columns.assign(columns->size(), CodeValues{});
}

void InForceSink::export_value(ACI_WITH_DATE* item) {
    if (item->error_item) return;
    const AR_COMMON_ITEM& it = item->item;
    if (predicate != nullptr && !predicate->keeps_item(static_cast<uint8_t>(ARCLASS(it.code)),
                                                       static_cast<uint8_t>(ARSUBTYPE(it.code)))) {
        return;
    }
    const int64_t time = static_cast<int64_t>(item_timestamp(item)) + ARCHIVE_EPOCH_UNIX_NS;
    const uint32_t id = row_id_of(it);
    const ItemNumbers number_at(*item);
    for_each_selected_value(
        item, *filter, [] {},
        [&](int n, int p) {
            if (predicate != nullptr && !predicate->keeps_element(n)) return;
            const double value = number_at(p);
            if (std::isnan(value)) return;
            CodeValues* v;
            if (columns != nullptr) {
                const uint32_t k = columns->column_of(id, static_cast<uint32_t>(n));
                if (k == CodeColumns::NONE) return;
                v = &out->columns[k];
            } else {
                v = &out->codes[static_cast<int32_t>(id * 1024 + static_cast<uint32_t>(n))];
            }
            if (time <= start && time >= v->at_start.time) v->at_start = SeriesPoint{time, value};
            if (time > v->last_time) v->last_time = time;
        });
}

}  // namespace zentrail
