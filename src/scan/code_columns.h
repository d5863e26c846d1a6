// The column of each code of a time series: codes in ascending order, found
// by (signal id, element) with one table lookup and a short search among the
// codes of the id.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zentrail {

class CodeColumns {
public:
    static constexpr uint32_t NONE = UINT32_MAX;

    CodeColumns() = default;
    // `codes`: distinct, ascending, each id * 1024 + element of a 16-bit id.
    // The table reaches only the last id chosen, so a read of a few codes
    // does not fill one entry per possible id.
    explicit CodeColumns(std::vector<int32_t> codes) : codes(std::move(codes)) {
        if (this->codes.empty()) return;
        const uint32_t last_id = static_cast<uint32_t>(this->codes.back()) / 1024u;
        id_first.assign(last_id + 2, 0);
        auto from = id_first.begin();
        for (std::size_t k = 0; k < this->codes.size(); ++k) {
            const auto past_id = id_first.begin() + static_cast<uint32_t>(this->codes[k]) / 1024u + 1;
            if (past_id > from) from = std::fill_n(from, past_id - from, static_cast<uint32_t>(k));
        }
        id_first.back() = static_cast<uint32_t>(this->codes.size());
    }
    std::size_t size() const { return codes.size(); }
    int32_t code(std::size_t column) const { return codes[column]; }
    bool has_id(uint32_t id) const { return id + 1 < id_first.size() && id_first[id] != id_first[id + 1]; }
    // The first column of an id and the one after its last (of an id that has_id).
    uint32_t first_of(uint32_t id) const { return id_first[id]; }
    uint32_t end_of(uint32_t id) const { return id_first[id + 1]; }
    uint32_t column_of(uint32_t id, uint32_t element) const {
        if (!has_id(id)) return NONE;
        const int32_t wanted = static_cast<int32_t>(id * 1024u + element);
        for (uint32_t k = id_first[id], end = id_first[id + 1]; k < end; ++k) {
            if (codes[k] == wanted) return k;
            if (codes[k] > wanted) break;
        }
        return NONE;
    }

private:
    std::vector<int32_t> codes;
    std::vector<uint32_t> id_first;
};

}  // namespace zentrail
