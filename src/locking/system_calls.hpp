// The file and lock system calls of the lock directory code, behind one table
// so that tests can make any of them fail, or act between two of them.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace zelm::detail {

struct SystemCalls {
    int (*open)(char const* path, int flags, mode_t mode);
    int (*mkdir)(char const* path, mode_t mode);
    int (*openat)(int directory, char const* path, int flags, mode_t mode);
    int (*close)(int fd);
    int (*fstat)(int fd, struct stat* status);
    int (*fstatat)(int directory, char const* path, struct stat* status, int flags);
    int (*fchmod)(int fd, mode_t mode);
    int (*flock)(int fd, int operation);
    int (*dup_above)(int fd, int lowest);          // fcntl(F_DUPFD): keeps close-on-exec off
    int (*dup_above_cloexec)(int fd, int lowest);  // fcntl(F_DUPFD_CLOEXEC)
    ssize_t (*pread)(int fd, void* buffer, size_t size, off_t offset);
    ssize_t (*pwrite)(int fd, void const* buffer, size_t size, off_t offset);
    int (*ftruncate)(int fd, off_t length);
    int (*futimens)(int fd, struct timespec const times[2]);
    int (*unlinkat)(int directory, char const* path, int flags);
};

// The table in use. Tests replace entries and put back `real_system_calls()`.
SystemCalls& system_calls();
SystemCalls const& real_system_calls();

}  // namespace zelm::detail
