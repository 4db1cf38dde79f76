// The owner of a lock identity, for the library's own callers.
#pragma once

#include <zelm/owner.hpp>

#include <optional>
#include <string>

namespace zelm::detail {

// The process holding the ownership lock `lock_id` exclusively, with its
// command name; none as find_device_owner says. Never throws but
// std::bad_alloc.
std::optional<DeviceOwner> owner_of_lock(std::string const& lock_id);

// The command name of process `pid` (/proc/<pid>/comm, made valid UTF-8);
// none when it cannot be read. Never throws but std::bad_alloc.
std::optional<std::string> command_of(int pid);

}  // namespace zelm::detail
