// An owned file descriptor, closed exactly once when its owner goes, so that
// no early return or exception leaks one. Header-only.
//
// Part of the plug-in support library (CMake: dizazuz_oruzoz::zelm_plugin_support,
// pkg-config: zelm_plugin_support).
#pragma once

#include <unistd.h>

#include <utility>

namespace zelm::plugin {

// Closes with close(2); its result is ignored, since Linux releases the
// descriptor even when close reports an error.
struct CloseDescriptor {
    void operator()(int fd) const noexcept { ::close(fd); }
};

// Owns a descriptor; empty when it holds a negative one (a failed open's -1
// may be handed over as it is). `Close` is how it lets go: code that routes
// its system calls through a table of its own (to make them fail in tests)
// passes its own. None of the members throws.
template <typename Close = CloseDescriptor>
class BasicFileDescriptor {
public:
    BasicFileDescriptor() = default;
    explicit BasicFileDescriptor(int fd) noexcept : fd_(fd) {}
    ~BasicFileDescriptor() { reset(); }
    BasicFileDescriptor(BasicFileDescriptor&& other) noexcept : fd_(other.release()) {}
    BasicFileDescriptor& operator=(BasicFileDescriptor&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    BasicFileDescriptor(BasicFileDescriptor const&) = delete;
    BasicFileDescriptor& operator=(BasicFileDescriptor const&) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() noexcept { return std::exchange(fd_, -1); }
    // Closes the descriptor held, if any, and holds `fd` instead.
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) {
            Close{}(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

using FileDescriptor = BasicFileDescriptor<>;

}  // namespace zelm::plugin
