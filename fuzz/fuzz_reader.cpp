// Arbitrary bytes as one archive file: the reader must never crash, and a
// reader whose window is tiny (every record straddling a refill) must
// deliver exactly the same items and the same outcome.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "read_all.h"

namespace {

// On tmpfs where there is one: rewriting a file on a disk file system can
// wait for the disk at every close.
std::string scratch_file() {
    static std::string path = [] {
        std::string name = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        name += "/zentrail-fuzz-XXXXXX";
        int fd = mkstemp(name.data());
        if (fd < 0) std::abort();
        close(fd);
        return name;
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = scratch_file();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);

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
