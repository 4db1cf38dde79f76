// The library's owned descriptor: the plug-in support library's one, closing
// through the system-call table, so that tests can make a close fail as they
// make any other call of the lock code fail.
#pragma once

#include "locking/system_calls.hpp"

#include <zelm/plugin/file_descriptor.hpp>

namespace zelm::detail {

struct CloseThroughSystemCalls {
    void operator()(int fd) const noexcept { system_calls().close(fd); }
};

using FileDescriptor = plugin::BasicFileDescriptor<CloseThroughSystemCalls>;

}  // namespace zelm::detail
