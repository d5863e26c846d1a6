// Whole columns of a columnar read, grown batch by batch.
#pragma once

#include <cstddef>
#include <memory>

#include "scan/column_batch.h"
#include "scan/row_predicate.h"

namespace zentrail {

// Memory for one column that grows without copying and without slack in
// use: it is mapped from the system and remapped larger as it grows, so
// only the pages written to are ever resident, and a column of n bytes costs
// n bytes (rounded up to a page) however it grew. Throws std::bad_alloc.
class GrowableRegion {
public:
    GrowableRegion() = default;
    ~GrowableRegion();
    GrowableRegion(const GrowableRegion&) = delete;
    GrowableRegion& operator=(const GrowableRegion&) = delete;

    void append(const void* bytes, std::size_t n);
    void* data() const { return start; }
    std::size_t size() const { return used; }

private:
    void _populate(std::size_t upto);

    void* start = nullptr;
    std::size_t used = 0;
    std::size_t populated = 0;
    std::size_t mapped = 0;
};

// The columns of COLUMNS, each in a region of its own.
class ColumnStore {
public:
    ColumnStore();
    // Copies the batch's selected columns; the others stay empty.
    void append(const ColumnBatch& batch, const ColumnSelection& selected = ColumnSelection());
    // Column i (in the order of COLUMNS); shared so that each can be handed
    // to an owner of its own.
    std::shared_ptr<GrowableRegion> column(std::size_t i) const { return columns[i]; }

private:
    std::shared_ptr<GrowableRegion> columns[COLUMN_COUNT];
};

}  // namespace zentrail
