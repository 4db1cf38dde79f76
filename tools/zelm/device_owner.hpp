// Who holds a device: the process that holds its ownership lock, as the
// kernel reports it, with the command name people know it by.
#pragma once

#include <zelm/owner.hpp>

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace zelm::tool {

// The holder of a device's ownership lock, as the library identifies it.
using DeviceOwner = zelm::DeviceOwner;

// "4242 (zelm)", "4242" without a command, "unknown" without an owner.
std::string owner_text(std::optional<DeviceOwner> const& owner);

// " by process 4242 (zelm)" after "occupied" and the like, empty without an
// owner.
std::string by_owner(std::optional<DeviceOwner> const& owner);

// {"pid": 4242, "command": "zelm"} (command null when unknown), or null
// without an owner.
nlohmann::ordered_json owner_json(std::optional<DeviceOwner> const& owner);

// The inverse of owner_json.
std::optional<DeviceOwner> owner_from_json(nlohmann::json const& value);

}  // namespace zelm::tool
