// Fd: an owned POSIX file descriptor, closed when it goes out of scope.
#pragma once

#include <cerrno>
#include <utility>

#include <unistd.h>

namespace wa {

class Fd {
public:
    Fd() noexcept = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) reset(std::exchange(o.fd_, -1));
        return *this;
    }
    ~Fd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    // Owns `fd` from now on (closing the one held before).
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closes now and says how that went: 0, or the errno of a failed close
    // (which can report a write the kernel could not complete).
    int close() noexcept {
        const int fd = std::exchange(fd_, -1);
        return fd >= 0 && ::close(fd) < 0 ? errno : 0;
    }

private:
    int fd_ = -1;
};

}  // namespace wa
