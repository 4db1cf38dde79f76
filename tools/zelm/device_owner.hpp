// Who holds a device: the process that holds its ownership lock, as the
// kernel reports it, with the command name people know it by, and in a
// cluster the host it runs on.
#pragma once

#include <zelm/cluster.hpp>
#include <zelm/owner.hpp>

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace zelm::tool {

// The holder of a device, on this machine or on another host of the cluster.
struct DeviceOwner {
    int pid = 0;
    std::optional<std::string> command = std::nullopt;  // none when it cannot be read
    std::optional<std::string> host = std::nullopt;     // the holder's host id; none outside a cluster

    bool operator==(DeviceOwner const&) const = default;
};

// A holder of the device's lock on this machine: in a cluster, this host's.
DeviceOwner local_holder(zelm::DeviceOwner const& owner);
std::optional<DeviceOwner> local_holder(std::optional<zelm::DeviceOwner> const& owner);

// A holder that a lab-wide device's key in the cluster names.
DeviceOwner lab_holder(cluster::Owner const& owner);

// "4242 (zelm)", "4242" without a command, "4242 (zelm) on host-b" with a
// host, "unknown" without an owner. The command and the host are as the
// holder's process and the cluster give them, text that others wrote:
// whatever prints the line escapes it (escape.hpp), once.
std::string owner_text(std::optional<DeviceOwner> const& owner);

// " by process 4242 (zelm)" after "occupied" and the like, empty without an
// owner.
std::string by_owner(std::optional<DeviceOwner> const& owner);

// {"pid": 4242, "command": "zelm"} (command null when unknown), followed by
// "host" when it is known, or null without an owner.
nlohmann::ordered_json owner_json(std::optional<DeviceOwner> const& owner);

// The inverse of owner_json.
std::optional<DeviceOwner> owner_from_json(nlohmann::json const& value);

}  // namespace zelm::tool
