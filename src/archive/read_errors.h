// Failures that leave the reader. Each carries the message text the caller
// sees, plus the file and position so that a user can find the bad file.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace zentrail {

constexpr const char* FILE_OPEN_MESSAGE = "File does not exist!";
constexpr const char* FILE_FORMAT_MESSAGE = "Error occured while reading file.";

// A path of the list could not be opened for reading.
class FileOpenError : public std::runtime_error {
public:
    FileOpenError(std::string path, int os_error)
        : std::runtime_error(FILE_OPEN_MESSAGE), path(std::move(path)), os_error(os_error) {}
    std::string path;
    int os_error;  // errno of the failed open
};

// Reading an open file failed (an I/O error, not its end).
class FileReadError : public std::runtime_error {
public:
    FileReadError(std::string path, int64_t offset, int os_error)
        : std::runtime_error("cannot read the archive file"), path(std::move(path)), offset(offset), os_error(os_error) {}
    std::string path;
    int64_t offset;  // byte offset in the file at which the read failed
    int os_error;    // errno of the failed read
};

// A malformed record ended the run, or the file's bytes could not be had
// whole (a damaged zip member).
class FileFormatError : public std::runtime_error {
public:
    FileFormatError(std::string path, int64_t offset, std::string reason = "malformed record",
                    std::string counted_in = std::string())
        : std::runtime_error(FILE_FORMAT_MESSAGE),
          path(std::move(path)),
          offset(offset),
          reason(std::move(reason)),
          counted_in(std::move(counted_in)) {}
    std::string path;
    int64_t offset;  // byte offset of the bad record in its file
    std::string reason;
    // What `offset` counts in when not the file itself ("the zip file": a
    // member's header or data is found by its place there).
    std::string counted_in;
};

}  // namespace zentrail
