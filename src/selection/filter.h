// The selection of one read: a time window and its signal codes (up to 256
// for read; a columnar scan sets no cap).
#pragma once

#include <atomic>
#include <bitset>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "time/bound.h"
#include "time/calendar.h"
#include "time/datetime.h"

namespace zentrail {

// A signal code is id * INDEX_RANGE + index, split with C's truncating
// division and sign-following remainder.
constexpr int32_t INDEX_RANGE = 1024;
constexpr int32_t MAX_SIGNAL_CODES = 256;

// A set of signal ids, one bit each.
using SignalIdSet = std::bitset<65536>;

inline int32_t signal_id_of(int32_t code) { return code / INDEX_RANGE; }
inline int32_t signal_index_of(int32_t code) { return code % INDEX_RANGE; }

class Filter {
public:
    // At most `max_codes` codes are stored; -1 stores every one.
    Filter(const char* dt_start, const char* dt_end, int max_codes = MAX_SIGNAL_CODES);
    // A window of timestamps given whole (a columnar read's), with no cap
    // on the codes unless one is given.
    explicit Filter(const InstantWindow& window, int max_codes = -1);
    Filter(const Filter&) = delete;
    Filter& operator=(const Filter&) = delete;

    bool isValid() const { return valid; }
    bool isEmpty() const { return empty; }
    // Stores one code (duplicates take places too); false once the cap is
    // reached. Codes added in ascending order cost O(1) each.
    bool addId(int code);
    // Selects every code of every id (a read of every signal, all
    // elements), without storing a code: hasId is true for every archive id
    // and selects_every_code tells the value rule to take each index below
    // an item's element count.
    void select_every_code() {
        every_code = true;
        empty = false;
        archive_ids.set();
    }
    // Every code of these ids alone (a negative or near-whole set of ids, as
    // "signal_id != 5" gives, costs its 8 KiB of bits, not a code per index).
    void select_every_code_of(const SignalIdSet& ids) {
        every_code = true;
        archive_ids = ids;
        empty = ids.none();
    }
    bool selects_every_code() const { return every_code; }
    // Marks the filter unusable: the caller's signal list held a non-integer.
    void invalidate() { valid = false; }

    bool hasDate(ADATETIME t) const { return from_texts ? start.lte(t) && end.gte(t) : _window_holds(t); }
    // The same test on the timestamp that `t` is broken down from, without
    // breaking it down: hasDate(decode(ns)) == has_instant(ns) for every ns.
    bool has_instant(uint64_t ns) const { return window_open && ns >= first_ns && ns <= last_ns; }
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
    // O(1): the first call after the last addId indexes the codes by id.
    // Threads may call it at once, but not while addId runs.
    CodeRange selected_codes_of(uint16_t id) const;

    int code_count() const { return static_cast<int>(codes.size()); }

private:
    // Archive ids are 16-bit: their answers are kept in a bitmap, set by
    // addId, so that the per-record test is one lookup. Ids outside that
    // range (only a direct caller can ask for them) are answered by a scan.
    static constexpr int ARCHIVE_ID_COUNT = 65536;

    bool _scan_for_id(int id) const;
    bool _window_holds(const ADATETIME& t) const;
    void _find_window();
    void _index_codes_by_id() const;

    // The stored codes, distinct and ascending, for hasIndex's binary search.
    std::vector<int32_t> sorted_codes;

    // Where each marked id's codes lie in sorted_codes; built once, on
    // first use, by whichever thread asks first.
    struct CodeSpan {
        uint32_t first;
        uint32_t last;
    };
    mutable std::unique_ptr<CodeSpan[]> id_spans;
    mutable std::atomic<bool> id_spans_ready{false};  // addId clears it
    mutable std::mutex id_spans_mutex;

    DateTime start;
    DateTime end;
    bool from_texts = true;
    // The timestamps hasDate accepts, found once from the bounds: the
    // breakdown grows with the timestamp, so they form one closed range.
    bool window_open = false;
    uint64_t first_ns = 0;
    uint64_t last_ns = 0;
    std::vector<int32_t> codes;
    int max_codes;
    bool empty = true;
    bool valid = true;
    bool every_code = false;
    std::bitset<ARCHIVE_ID_COUNT> archive_ids;
};

}  // namespace zentrail
