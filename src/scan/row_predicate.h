// What a columnar read keeps of the rows its filter selects: the classes,
// subtypes and element indices asked for, and which columns it hands on.
// The filter's codes and window already narrow ids and time; these are the
// tests that a code cannot express, made per item or per value.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>

#include "scan/column_batch.h"

namespace zentrail {

constexpr std::size_t ELEMENT_INDEX_COUNT = 1024;

struct RowPredicate {
    uint32_t classes = ~uint32_t{0};  // bit c: item class c is kept
    uint8_t subtypes = 0xFF;          // bit s: subtype s is kept
    // Bit n: a row of element n is kept (a text row counts as element 0).
    // All set unless asked otherwise.
    std::bitset<ELEMENT_INDEX_COUNT> elements = std::bitset<ELEMENT_INDEX_COUNT>().set();

    bool keeps_item(uint8_t item_class, uint8_t subtype) const {
        return ((classes >> (item_class & 31u)) & 1u) != 0 && ((subtypes >> (subtype & 7u)) & 1u) != 0;
    }
    bool keeps_element(int n) const { return n >= 0 && static_cast<std::size_t>(n) < ELEMENT_INDEX_COUNT && elements[n]; }
};

// The columns a read hands on, by their place in COLUMNS (or after it, the
// name columns, which only the Arrow export gives), in the order the
// consumer asked for them.
struct ColumnSelection {
    std::size_t order[SELECTABLE_COUNT] = {0, 1, 2, 3, 4, 5};
    std::size_t count = COLUMN_COUNT;

    static_assert(COLUMN_COUNT == 6, "the whole selection lists every column");
    bool holds(std::size_t column) const {
        for (std::size_t i = 0; i < count; ++i) {
            if (order[i] == column) return true;
        }
        return false;
    }
    bool has_names() const { return holds(CLASS_NAME_COLUMN) || holds(SUBTYPE_NAME_COLUMN); }
};

}  // namespace zentrail
