#include "selection/filter.h"

namespace zentrail {

Filter::Filter(const char* dt_start, const char* dt_end) : start(dt_start), end(dt_end) {}

bool Filter::addId(int code) {
    if (count >= MAX_SIGNAL_CODES) return false;
    codes[static_cast<std::size_t>(count++)] = code;
    empty = false;
    int32_t id = signal_id_of(code);
    if (id >= 0 && id < ARCHIVE_ID_COUNT) archive_ids.set(static_cast<std::size_t>(id));
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
    for (int i = 0; i < count; ++i) {
        int32_t c = codes[static_cast<std::size_t>(i)];
        if (signal_id_of(c) == id && signal_index_of(c) == index) return true;
    }
    return false;
}

}  // namespace zentrail
