// Arbitrary bytes as one archive file: the reader must never crash, and a
// reader whose window is tiny (every record straddling a refill) must
// deliver exactly the same items and the same outcome. Read again with a
// selection of the ids the file holds (which the reader passes over by their
// size, without decoding them), both readers must deliver exactly the
// selected items of the whole read, with the same outcome.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "archive/record_classes.h"

#include "read_all.h"
#include "scratch_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz_support::scratch_file();
    fuzz_support::write_file(path, data, size);

    fuzz_support::ReadOutcome shipped = fuzz_support::read_all(path);
    fuzz_support::ReadOutcome small = fuzz_support::read_all_small_window(path);
    if (!(shipped == small)) {
        std::fprintf(stderr, "window sizes disagree: %zu vs %zu items, error %d/%d at %lld/%lld\n",
                     shipped.items.size(), small.items.size(), shipped.format_error, small.format_error,
                     static_cast<long long>(shipped.error_offset), static_cast<long long>(small.error_offset));
        std::abort();
    }

    // Every id the file holds, or none of them, or a mix chosen by the input.
    const unsigned seed = size == 0 ? 0 : data[0] ^ data[size - 1];
    std::set<uint16_t> present;
    for (const auto& item : shipped.items) present.insert(item.id);
    std::vector<uint16_t> ids;
    for (uint16_t id : present) {
        if (seed % 5 == 0 || (seed % 5 != 1 && ((id * 2654435761u) >> (seed % 24)) & 1)) ids.push_back(id);
    }
    fuzz_support::ReadOutcome expected = shipped;
    expected.items.clear();
    for (const auto& item : shipped.items) {
        if (item.error_item || std::binary_search(ids.begin(), ids.end(), item.id)) expected.items.push_back(item);
    }
    for (fuzz_support::ReadOutcome selected :
         {fuzz_support::read_all(path, &ids), fuzz_support::read_all_small_window(path, &ids)}) {
        // The value area is compared as far as the payload reaches: what lies
        // past it is left over from earlier items, which differ.
        for (auto* outcome : {&selected, &expected}) {
            for (auto& item : outcome->items) {
                const zentrail::RecordClass& c = zentrail::record_class_of(item.code);
                std::size_t kept = c.kind == zentrail::ClassKind::Alarm && c.size > 10 ? 8
                                   : c.kind == zentrail::ClassKind::Group
                                       ? static_cast<std::size_t>(zentrail::group_payload_size(item.code & 0x1F, item.param))
                                       : 0;
                if (item.error_item) kept = 0;
                item.data.resize(std::min(kept, item.data.size()));
            }
        }
        for (std::size_t k = 0; k < std::min(selected.items.size(), expected.items.size()); ++k) {
            const auto& a = selected.items[k];
            const auto& b = expected.items[k];
            if (!(a == b)) {
                std::fprintf(stderr, "item %zu differs: code %d/%d, id %d/%d, string size %d/%d\n", k, a.code,
                             b.code, a.id, b.id, a.string_size, b.string_size);
                break;
            }
        }
        if (!(selected == expected)) {
            std::fprintf(stderr, "a selective read disagrees: %zu vs %zu items, error %d/%d at %lld/%lld\n",
                         selected.items.size(), expected.items.size(), selected.format_error, expected.format_error,
                         static_cast<long long>(selected.error_offset), static_cast<long long>(expected.error_offset));
            std::abort();
        }
    }
    return 0;
}
