// Which values of an item a read hands on: the one rule that both the tuple
// sink of zentrail.read and the column builder follow.
#pragma once

#include <cstdint>

#include "output/archive_row.h"
#include "selection/filter.h"

namespace zentrail {

// Calls on_text() once for an item of a text class, or on_value(n, p) for
// each selected element index n of the item's id below its element count,
// highest first (p is the element's position in the value area), when the
// item's time lies in the filter's window. Items without a value give nothing.
template <typename OnText, typename OnValue>
void for_each_selected_value(const ACI_WITH_DATE* item, const Filter& filter, OnText&& on_text,
                             OnValue&& on_value) {
    if (!filter.has_instant(item_timestamp(item))) return;
    const AR_COMMON_ITEM& it = item->item;
    const int32_t type = record_class_of(it.code).data_type;
    if (type == ROW_TEXT) {
        on_text();
        return;
    }
    if (type == ROW_NO_VALUE) return;
    const int32_t count = row_element_count_of(it);
    if (filter.selects_every_code()) {
        for (int n = count - 1; n >= 0; --n) on_value(n, count - 1 - n);
        return;
    }
    // The selected indices of this id, highest first: the same values, in
    // the same order, as testing hasIndex for every n from count - 1 down.
    const Filter::CodeRange selected = filter.selected_codes_of(static_cast<uint16_t>(row_id_of(it)));
    for (const int32_t* code = selected.last; code != selected.first;) {
        const int n = *--code - selected.base;
        if (n >= count) continue;
        on_value(n, count - 1 - n);
    }
}

}  // namespace zentrail
