#include "selection/filter.h"

#include <algorithm>
#include <cstdint>

namespace zentrail {

Filter::Filter(const char* dt_start, const char* dt_end) : start(dt_start), end(dt_end) {}

bool Filter::addId(int code) {
    if (count >= MAX_SIGNAL_CODES) return false;
    codes[static_cast<std::size_t>(count++)] = code;
    empty = false;
    int32_t id = signal_id_of(code);
    if (id >= 0 && id < ARCHIVE_ID_COUNT) archive_ids.set(static_cast<std::size_t>(id));
    int32_t* sorted_end = sorted_codes.data() + distinct_count;
    int32_t* place = std::lower_bound(sorted_codes.data(), sorted_end, code);
    if (place == sorted_end || *place != code) {
        std::copy_backward(place, sorted_end, sorted_end + 1);
        *place = code;
        ++distinct_count;
    }
    return true;
}

bool Filter::_scan_for_id(int id) const {
    for (int i = 0; i < count; ++i) {
        if (signal_id_of(codes[static_cast<std::size_t>(i)]) == id) return true;
    }
    return false;
}

bool Filter::hasIndex(int id, int index) const {
    if (!hasId(id)) return false;
    // Every code c is (c / 1024) * 1024 + c % 1024, so the only code that
    // splits into (id, index) is id * 1024 + index, if that is a 32-bit code
    // that splits back into the same pair.
    const int64_t candidate = int64_t{id} * INDEX_RANGE + index;
    if (candidate < INT32_MIN || candidate > INT32_MAX) return false;
    const auto code = static_cast<int32_t>(candidate);
    if (signal_id_of(code) != id || signal_index_of(code) != index) return false;
    return std::binary_search(sorted_codes.data(), sorted_codes.data() + distinct_count, code);
}


Filter::CodeRange Filter::selected_codes_of(uint16_t id) const {
    const int32_t base = int32_t{id} * INDEX_RANGE;
    const int32_t* begin = sorted_codes.data();
    const int32_t* end = begin + distinct_count;
    if (!archive_ids[id]) return {end, end, base};
    return {std::lower_bound(begin, end, base), std::lower_bound(begin, end, base + INDEX_RANGE), base};
}

}  // namespace zentrail
