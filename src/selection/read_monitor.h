// A hook through which whoever runs a read can watch it and stop it.
#pragma once

#include <cstdint>

namespace zentrail {
// Lets whoever runs a read watch it and stop it. The reader and the walk call
// poll often: between files, after each refill of the window (with the bytes
// just read), and every few hundred entries of a walk. poll may throw to end
// the read; the reader and the walk leave nothing open behind when it does.
class ReadMonitor {
public:
    virtual ~ReadMonitor() = default;
    virtual void poll(int64_t bytes_read) = 0;
};
}  // namespace zentrail
