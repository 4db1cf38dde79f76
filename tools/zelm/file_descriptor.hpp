// The tool's owned descriptors (the one of the plug-in support library): the
// isolated scan keeps pipes and process descriptors of several children at
// once, and an early exit (an error, an interruption) must not leak any of
// them. Also the descriptor of a child process, to wait for its end in poll().
#pragma once

#include <zelm/plugin/file_descriptor.hpp>

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

namespace zelm::tool {

using plugin::FileDescriptor;

// A descriptor of child process `pid` that poll() finds readable once the
// child has ended; empty, with errno set, when it cannot be had. Through
// syscall(): glibc 2.36 declares pidfd_open without C linkage for C++.
inline FileDescriptor process_descriptor(pid_t pid) {
    return FileDescriptor(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
}

}  // namespace zelm::tool
