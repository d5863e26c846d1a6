// Arbitrary bytes as one archive file: the reader must never crash, and a
// reader whose window is tiny (every record straddling a refill) must
// deliver exactly the same items and the same outcome.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

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
    return 0;
}
