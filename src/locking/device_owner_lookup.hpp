// The owner of a lock identity, for the library's own callers.
#pragma once

#include <zelm/owner.hpp>

#include <sys/types.h>

#include <chrono>
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

// The name of user `uid` (made valid UTF-8), or its number as text when it
// has none. Never throws but std::bad_alloc.
std::string user_name_of(uid_t uid);

// The user that process `pid` runs as; none when it cannot be told. Never
// throws but std::bad_alloc.
std::optional<std::string> user_of(int pid);

// `time` in UTC to the second, ISO 8601: "2026-12-11T10:54:06Z". Throws
// std::bad_alloc only.
std::string utc_text(std::chrono::system_clock::time_point time);

}  // namespace zelm::detail
