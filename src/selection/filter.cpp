#include "selection/filter.h"

#include <algorithm>
#include <cstdint>

namespace zentrail {

namespace {

ADATETIME breakdown(uint64_t ns) {
    ADATETIME t;
    const GTSTAMP stamp{ns};
    decode_timestamp(&t, &stamp);
    return t;
}

// The least timestamp at which `holds` is true, for a test that is false
// and then true as the timestamp grows; false when it is never true.
template <typename Test>
bool least_where(Test holds, uint64_t* found) {
    uint64_t lo = 0;
    uint64_t hi = UINT64_MAX;
    if (!holds(hi)) return false;
    while (lo < hi) {
        const uint64_t mid = lo + (hi - lo) / 2;
        if (holds(mid)) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    *found = lo;
    return true;
}

}  // namespace

Filter::Filter(const char* dt_start, const char* dt_end, int max_codes)
    : start(dt_start), end(dt_end), max_codes(max_codes) {
    _find_window();
}

Filter::Filter(const InstantWindow& window, int max_codes)
    : from_texts(false), window_open(window.open), first_ns(window.first_ns), last_ns(window.last_ns),
      max_codes(max_codes) {}

bool Filter::_window_holds(const ADATETIME& t) const {
    const int64_t days = days_from_origin(t.year, t.month, t.day);
    if (days < 0 || days >= static_cast<int64_t>(UINT64_MAX / NS_PER_DAY)) return false;
    const uint64_t time_of_day = ((uint64_t(t.hour) * 60 + uint64_t(t.minute)) * 60 + uint64_t(t.second)) * NS_PER_SECOND +
                                 uint64_t(t.nanos);
    const uint64_t day_start = static_cast<uint64_t>(days) * NS_PER_DAY;
    if (time_of_day > UINT64_MAX - day_start) return false;
    return has_instant(day_start + time_of_day);
}

void Filter::_find_window() {
    uint64_t first = 0;
    if (!least_where([this](uint64_t ns) { return start.lte(breakdown(ns)); }, &first)) return;
    uint64_t past = 0;  // the first timestamp after the end bound
    if (least_where([this](uint64_t ns) { return !end.gte(breakdown(ns)); }, &past)) {
        if (past == 0) return;
        last_ns = past - 1;
    } else {
        last_ns = UINT64_MAX;
    }
    first_ns = first;
    window_open = first_ns <= last_ns;
}

bool Filter::addId(int code) {
    if (max_codes >= 0 && static_cast<int>(codes.size()) >= max_codes) return false;
    codes.push_back(code);
    empty = false;
    id_spans_ready.store(false, std::memory_order_relaxed);
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
    if (every_code) return hasId(id) && index >= 0 && index < INDEX_RANGE;
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


void Filter::_index_codes_by_id() const {
    // Only the spans of ids that addId marked are ever read: the others stay
    // unwritten (and their pages untouched).
    id_spans.reset(new CodeSpan[ARCHIVE_ID_COUNT]);
    for (int32_t code : codes) {
        const int32_t id = signal_id_of(code);
        if (id >= 0 && id < ARCHIVE_ID_COUNT) id_spans[static_cast<std::size_t>(id)] = {0, 0};
    }
    // Codes of one id lie side by side in sorted_codes; a negative code
    // (whose id is 0 too) lies before them all and belongs to no span.
    for (std::size_t k = 0; k < sorted_codes.size(); ++k) {
        const int32_t code = sorted_codes[k];
        if (code < 0 || code >= ARCHIVE_ID_COUNT * INDEX_RANGE) continue;
        CodeSpan& span = id_spans[static_cast<std::size_t>(code / INDEX_RANGE)];
        if (span.first == span.last) span.first = static_cast<uint32_t>(k);
        span.last = static_cast<uint32_t>(k + 1);
    }
}

Filter::CodeRange Filter::selected_codes_of(uint16_t id) const {
    const int32_t base = int32_t{id} * INDEX_RANGE;
    const int32_t* begin = sorted_codes.data();
    if (!archive_ids[id]) return {begin, begin, base};
    if (!id_spans_ready.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(id_spans_mutex);
        if (!id_spans_ready.load(std::memory_order_relaxed)) {
            _index_codes_by_id();
            id_spans_ready.store(true, std::memory_order_release);
        }
    }
    const CodeSpan span = id_spans[id];
    return {begin + span.first, begin + span.last, base};
}

}  // namespace zentrail
