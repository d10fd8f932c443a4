// Small POSIX helpers: an owning file descriptor and errors from errno.
#pragma once

#include "core/nodes/python.hpp"

#include <string>
#include <utility>

#include <unistd.h>

namespace zor::posix {

// An open file descriptor, closed on destruction.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(Descriptor &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor &operator=(Descriptor &&other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

    // Closes now; false (errno set) when the close reports an error.
    bool close() { return ::close(std::exchange(fd_, -1)) == 0; }

private:
    void reset() noexcept {
        if (fd_ >= 0)
            ::close(std::exchange(fd_, -1));
    }

    int fd_ = -1;
};

// Raises the OSError subclass of `error` (an errno value) for `filename`, a
// path in the file system's encoding, as Python's own file functions do.
[[noreturn]] void raise_os_error(int error, const std::string &filename);

}  // namespace zor::posix
