#include "selection/filter.h"

#include <algorithm>
#include <cstdint>

namespace zentrail {

Filter::Filter(const char* dt_start, const char* dt_end, int max_codes)
    : start(dt_start), end(dt_end), max_codes(max_codes) {}

bool Filter::addId(int code) {
    if (max_codes >= 0 && static_cast<int>(codes.size()) >= max_codes) return false;
    codes.push_back(code);
    empty = false;
    int32_t id = signal_id_of(code);
    if (id >= 0 && id < ARCHIVE_ID_COUNT) archive_ids.set(static_cast<std::size_t>(id));
    if (sorted_codes.empty() || sorted_codes.back() < code) {
        sorted_codes.push_back(code);
        return true;
    }
    auto place = std::lower_bound(sorted_codes.begin(), sorted_codes.end(), code);
    if (*place != code) sorted_codes.insert(place, code);
    return true;
}

bool Filter::_scan_for_id(int id) const {
    return std::any_of(codes.begin(), codes.end(), [id](int32_t code) { return signal_id_of(code) == id; });
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
    return std::binary_search(sorted_codes.begin(), sorted_codes.end(), code);
}


Filter::CodeRange Filter::selected_codes_of(uint16_t id) const {
    const int32_t base = int32_t{id} * INDEX_RANGE;
    const int32_t* begin = sorted_codes.data();
    const int32_t* end = begin + sorted_codes.size();
    if (!archive_ids[id]) return {end, end, base};
    return {std::lower_bound(begin, end, base), std::lower_bound(begin, end, base + INDEX_RANGE), base};
}

}  // namespace zentrail
