// A file a read passed over when asked to go on past damaged files: a
// malformed record (the rows before it count), or a file that could not be
// opened or read. Failures that are not a file's own (out of memory, a
// worker that cannot start, a stopped read) end the read whatever was asked.
#pragma once

#include <cstdint>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

#include "archive/read_errors.h"

namespace zentrail {

struct DamagedFile {
    std::string path;
    int64_t offset;      // the byte of the malformed record or failed read; -1: the file could not be opened
    std::string reason;  // "malformed record", "[Errno 13] Permission denied", ...
};

// The damage `failure` describes, or nothing when it is not a file's own.
inline std::optional<DamagedFile> damage_of(std::exception_ptr failure) {
    const auto errno_text = [](int os_error) {
        return "[Errno " + std::to_string(os_error) + "] " + std::strerror(os_error);
    };
    try {
        std::rethrow_exception(failure);
    } catch (const FileFormatError& e) {
        return DamagedFile{e.path, e.offset,
                           e.counted_in.empty() ? e.reason : e.reason + ", in " + e.counted_in};
    } catch (const FileOpenError& e) {
        return DamagedFile{e.path, -1, "cannot be opened: " + errno_text(e.os_error)};
    } catch (const FileReadError& e) {
        return DamagedFile{e.path, e.offset, "read failed: " + errno_text(e.os_error)};
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace zentrail
