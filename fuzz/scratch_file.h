// One scratch file per fuzzing process, rewritten for every input.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz_support {

// Removed again when the process exits normally (libFuzzer ends a timed run
// with exit() too); a crash or Ctrl-C leaves it behind.
struct ScratchFile {
    std::string path;
    ~ScratchFile() { unlink(path.c_str()); }
};

// On tmpfs where there is one: rewriting a file on a disk file system can
// wait for the disk at every close.
inline std::string scratch_file() {
    static const ScratchFile file = [] {
        std::string name = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        name += "/zentrail-fuzz-XXXXXX";
        int fd = mkstemp(name.data());
        if (fd < 0) std::abort();
        close(fd);
        return ScratchFile{name};
    }();
    return file.path;
}

inline void write_file(const std::string& path, const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
}

}  // namespace fuzz_support
