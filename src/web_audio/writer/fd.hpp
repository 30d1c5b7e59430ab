// Fd: an owned POSIX file descriptor, closed when it goes out of scope.
#pragma once

#include <cerrno>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__) && defined(__x86_64__)
#include <sys/syscall.h>
#endif

namespace wa {

// fstat(fd, sb).  On x86-64 Linux through the system call, whose struct stat is the C library's
// there: the library's own fstat is a symbol of its 2.33 release onwards, and calling it would
// keep the module off systems with an older C library.
inline int fstat_fd(int fd, struct stat* sb) noexcept {
#if defined(__linux__) && defined(__x86_64__)
    return static_cast<int>(::syscall(SYS_fstat, fd, sb));
#else
    return ::fstat(fd, sb);
#endif
}

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
