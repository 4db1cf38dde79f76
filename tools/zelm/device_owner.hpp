// Who holds a device: the process that holds its ownership lock, as the
// kernel reports it, with the command name people know it by.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace zelm::tool {

struct DeviceOwner {
    int pid = 0;
    std::optional<std::string> command;  // none when /proc/<pid>/comm cannot be read
};

// The holder of the ownership lock `lock_id`, or none when it cannot be
// identified: nobody holds it any more, or the kernel names no live process
// for it (a holder in another pid namespace, or one that forked and exited,
// leaving the lock with its child).
std::optional<DeviceOwner> find_owner(std::string const& lock_id);

// "4242 (zelm)", "4242" without a command, "unknown" without an owner.
std::string owner_text(std::optional<DeviceOwner> const& owner);

// {"pid": 4242, "command": "zelm"} (command null when unknown), or null
// without an owner.
nlohmann::ordered_json owner_json(std::optional<DeviceOwner> const& owner);

// The inverse of owner_json.
std::optional<DeviceOwner> owner_from_json(nlohmann::json const& value);

}  // namespace zelm::tool
