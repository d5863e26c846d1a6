// The selection of one read: a time window and up to 256 signal codes.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>

#include "time/calendar.h"
#include "time/datetime.h"

namespace zentrail {

// A signal code is id * INDEX_RANGE + index, split with C's truncating
// division and sign-following remainder.
constexpr int32_t INDEX_RANGE = 1024;
constexpr int32_t MAX_SIGNAL_CODES = 256;

inline int32_t signal_id_of(int32_t code) { return code / INDEX_RANGE; }
inline int32_t signal_index_of(int32_t code) { return code % INDEX_RANGE; }

class Filter {
public:
    Filter(const char* dt_start, const char* dt_end);
    Filter(const Filter&) = delete;
    Filter& operator=(const Filter&) = delete;

    bool isValid() const { return valid; }
    bool isEmpty() const { return empty; }
    // Stores one code (duplicates take places too); false once 256 are held.
    bool addId(int code);
    // Marks the filter unusable: the caller's signal list held a non-integer.
    void invalidate() { valid = false; }

    bool hasDate(ADATETIME t) const { return start.lte(t) && end.gte(t); }
    bool hasId(int id) const {
        if (id >= 0 && id < ARCHIVE_ID_COUNT) return archive_ids[static_cast<std::size_t>(id)];
        return _scan_for_id(id);
    }
    bool hasIndex(int id, int index) const;

    // The selected codes of a signal id (0..65535) with indices 0..1023, as an
    // ascending range: walking it backwards gives the indices for which
    // hasIndex(id, index) is true, highest first, each once.
    struct CodeRange {
        const int32_t* first;
        const int32_t* last;
        int32_t base;  // id * INDEX_RANGE: code - base is the index
    };
    CodeRange selected_codes_of(uint16_t id) const;

    int code_count() const { return count; }

private:
    // Archive ids are 16-bit: their answers are kept in a bitmap, set by
    // addId, so that the per-record test is one lookup. Ids outside that
    // range (only a direct caller can ask for them) are answered by a scan.
    static constexpr int ARCHIVE_ID_COUNT = 65536;

    bool _scan_for_id(int id) const;

    // The stored codes, distinct and ascending, for hasIndex's binary search.
    std::array<int32_t, MAX_SIGNAL_CODES> sorted_codes{};
    int32_t distinct_count = 0;

    DateTime start;
    DateTime end;
    std::array<int32_t, MAX_SIGNAL_CODES> codes{};
    int32_t count = 0;
    bool empty = true;
    bool valid = true;
    std::bitset<ARCHIVE_ID_COUNT> archive_ids;
};

}  // namespace zentrail
