// Ownership of a file descriptor, so that every path out of a function
// closes what it opened.
#pragma once

#include <unistd.h>

#include <utility>

namespace zentrail {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd, -1));
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return fd; }
    int release() { return std::exchange(fd, -1); }
    void reset(int replacement = -1) {
        if (fd >= 0) ::close(fd);
        fd = replacement;
    }
    explicit operator bool() const { return fd >= 0; }

private:
    int fd = -1;
};

}  // namespace zentrail
