// An owned file descriptor, closed when its owner goes: the isolated scan
// keeps pipes and process descriptors of several children at once, and an
// early exit (an error, an interruption) must not leak any of them. Also the
// descriptor of a child process, to wait for its end in poll().
#pragma once

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <utility>

namespace zelm::tool {

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    FileDescriptor(FileDescriptor const&) = delete;
    FileDescriptor& operator=(FileDescriptor const&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// A descriptor of child process `pid` that poll() finds readable once the
// child has ended; empty, with errno set, when it cannot be had. Through
// syscall(): glibc 2.36 declares pidfd_open without C linkage for C++.
inline FileDescriptor process_descriptor(pid_t pid) {
    return FileDescriptor(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
}

}  // namespace zelm::tool
