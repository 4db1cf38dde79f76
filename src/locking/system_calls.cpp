// The real system calls behind the seam of system_calls.hpp.
#include "locking/system_calls.hpp"

namespace zelm::detail {
namespace {

SystemCalls const real{
    .open = [](char const* path, int flags, mode_t mode) { return ::open(path, flags, mode); },
    .mkdir = ::mkdir,
    .openat = [](int directory, char const* path, int flags, mode_t mode) {
        return ::openat(directory, path, flags, mode);
    },
    .close = ::close,
    .fstat = ::fstat,
    .fstatat = ::fstatat,
    .fchmod = ::fchmod,
    .flock = ::flock,
    .dup_above = [](int fd, int lowest) { return ::fcntl(fd, F_DUPFD, lowest); },
    .dup_above_cloexec = [](int fd, int lowest) { return ::fcntl(fd, F_DUPFD_CLOEXEC, lowest); },
    .pread = ::pread,
    .pwrite = ::pwrite,
    .ftruncate = ::ftruncate,
    .futimens = ::futimens,
    .unlinkat = ::unlinkat,
};

SystemCalls current = real;

}  // namespace

SystemCalls& system_calls() { return current; }
SystemCalls const& real_system_calls() { return real; }

}  // namespace zelm::detail
