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

    CodeColumns() : id_first(ID_COUNT + 1, 0) {}
    // `codes`: distinct, ascending, each id * 1024 + element of a 16-bit id.
    explicit CodeColumns(std::vector<int32_t> codes) : codes(std::move(codes)), id_first(ID_COUNT + 1, 0) {
        std::size_t k = 0;
        for (uint32_t id = 0; id <= ID_COUNT; ++id) {
            while (k < this->codes.size() && static_cast<uint32_t>(this->codes[k]) < id * 1024u) ++k;
            id_first[id] = static_cast<uint32_t>(k);
        }
    }
    std::size_t size() const { return codes.size(); }
    int32_t code(std::size_t column) const { return codes[column]; }
    bool has_id(uint32_t id) const { return id < ID_COUNT && id_first[id] != id_first[id + 1]; }
    // The first column of an id and the one after its last.
    uint32_t first_of(uint32_t id) const { return id_first[id]; }
    uint32_t end_of(uint32_t id) const { return id_first[id + 1]; }
    uint32_t column_of(uint32_t id, uint32_t element) const {
        if (id >= ID_COUNT) return NONE;
        const int32_t wanted = static_cast<int32_t>(id * 1024u + element);
        for (uint32_t k = id_first[id], end = id_first[id + 1]; k < end; ++k) {
            if (codes[k] == wanted) return k;
            if (codes[k] > wanted) break;
        }
        return NONE;
    }

private:
    static constexpr uint32_t ID_COUNT = 65536;
    std::vector<int32_t> codes;
    std::vector<uint32_t> id_first;
};

}  // namespace zentrail
