#include "output/column_store.h"

#include <sys/mman.h>

#include <cstring>
#include <new>

namespace zentrail {

namespace {
constexpr std::size_t FIRST_MAPPING = std::size_t{1} << 20;
}  // namespace

GrowableRegion::~GrowableRegion() {
    if (start != nullptr) ::munmap(start, mapped);
}

void GrowableRegion::append(const void* bytes, std::size_t n) {
    if (n == 0) return;
    if (n > mapped - used) {
        std::size_t want = mapped == 0 ? FIRST_MAPPING : mapped;
        while (want - used < n) {
            if (want > SIZE_MAX / 2) throw std::bad_alloc();
            want *= 2;
        }
        void* grown = start == nullptr
                          ? ::mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                          : ::mremap(start, mapped, want, MREMAP_MAYMOVE);
        if (grown == MAP_FAILED) throw std::bad_alloc();
        start = grown;
        mapped = want;
    }
    std::memcpy(static_cast<unsigned char*>(start) + used, bytes, n);
    used += n;
}

void ColumnStore::append(const ColumnBatch& batch) {
    for (std::size_t i = 0; i < COLUMN_COUNT; ++i) {
        columns[i]->append(batch.column(i), batch.rows * COLUMNS[i].width);
    }
    row_count += batch.rows;
}

}  // namespace zentrail
