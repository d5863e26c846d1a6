#include "scan/column_store.h"

#include <sys/mman.h>

#include <algorithm>
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
    _populate(used + n);
    std::memcpy(static_cast<unsigned char*>(start) + used, bytes, n);
    used += n;
}

// The pages a batch is about to fill are made resident in one call, not by
// a fault on each: a column costs no more than the pages it uses. Only a
// speed-up; where the system lacks it, the writes fault the pages in.
void GrowableRegion::_populate(std::size_t upto) {
#ifdef MADV_POPULATE_WRITE
    constexpr std::size_t PAGE = 4096;
    if (upto <= populated) return;
    const std::size_t from = populated / PAGE * PAGE;
    const std::size_t until = std::min(mapped, (upto + PAGE - 1) / PAGE * PAGE);
    if (::madvise(static_cast<unsigned char*>(start) + from, until - from, MADV_POPULATE_WRITE) == 0) populated = until;
#else
    (void)upto;
#endif
}

ColumnStore::ColumnStore() {
    for (auto& column : columns) column = std::make_shared<GrowableRegion>();
}

void ColumnStore::append(const ColumnBatch& batch, const ColumnSelection& selected) {
    for (std::size_t k = 0; k < selected.count; ++k) {
        const std::size_t i = selected.order[k];
        columns[i]->append(batch.column(i), batch.rows * COLUMNS[i].width);
    }
}

}  // namespace zentrail
