// Archive files whose bytes are fetched by someone else (from object
// storage, out of a zip file) and handed to the reader whole, so that the
// reader decodes them as it decodes a file it opened itself.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "selection/read_monitor.h"

namespace zentrail {

struct ZipMember;

using FileBytes = std::vector<unsigned char>;

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // The whole bytes of the file named `name`, waiting until they have
    // arrived and polling `monitor` (may be null; it may throw to end the
    // wait) meanwhile. The bytes stay while the returned pointer lives.
    // Throws FileOpenError or FileReadError naming the file when fetching it
    // failed, as opening or reading a local file does.
    virtual std::shared_ptr<const FileBytes> take(const std::string& name, ReadMonitor* monitor) = 0;
    // The file's size as listed, for progress (0 when not known).
    virtual int64_t size_of(const std::string& name) const = 0;
    // Where the file named `name` lies as a member of a zip file on this
    // machine, for the reader to read it there itself; null (the default)
    // when its bytes are to be taken.
    virtual const ZipMember* member_of(const std::string& name) const {
        (void)name;
        return nullptr;
    }
};

}  // namespace zentrail
