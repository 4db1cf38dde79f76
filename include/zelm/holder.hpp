// Who holds a device: on this machine, the process holding its ownership
// lock; in a cluster, for a lab-wide device, the process that the device's
// key names on whichever host it runs. One type and one look-up for both, so
// that every front end names a holder alike.
#pragma once

#include <zelm/device_manager.hpp>
#include <zelm/export.hpp>
#include <zelm/owner.hpp>

#include <filesystem>
#include <optional>
#include <string>

namespace zelm {

struct DeviceHolder {
    int pid = 0;                         // on its own host
    std::optional<std::string> command;  // its command name; none when it cannot be read
    std::optional<std::string> user;     // its user name (or numeric id); none when unknown
    // The host id of the holder's host: for a lab-wide holder as the cluster
    // names it, for a local holder this host's id while in a cluster; none
    // outside a cluster.
    std::optional<std::string> host;
    // When it took the device, UTC, ISO 8601 ("2026-12-11T10:54:06Z"): for a
    // local holder the time its lock was taken, as the lock file records it.
    std::optional<std::string> since;
    bool lab_wide = false;  // held through the cluster's key, not only this machine's lock

    bool operator==(DeviceHolder const&) const = default;
};

// The holder of the device that `description` (JSON text of one listed
// description, in any spacing or member order) names under the manager path
// `manager_path` (the manager's get_path()): in a cluster the holder that
// the device's key names, if any; otherwise the process holding its
// ownership lock on this machine. None when nobody can be named (see
// find_device_owner for local holders that cannot be identified). When the
// cluster cannot answer, the local holder is given. Takes no lock and changes
// nothing. Throws nlohmann::json::parse_error when `description` is not JSON,
// and std::bad_alloc.
ZELM_API std::optional<DeviceHolder> find_device_holder(std::filesystem::path const& manager_path,
                                                        std::string const& description);

// The same look-up for a device of `manager` (one of its listed
// descriptions), for a host that tells people whether the device is free: the
// cluster is asked only when the plug-in marks the device lab-wide (see
// cluster::is_lab_wide), and when it cannot answer, cluster::UnavailableError
// is thrown instead of the local holder given, since another host's holder
// cannot be ruled out. Throws what the manager's get_path throws,
// nlohmann::json::parse_error when `description` is not JSON, and
// std::bad_alloc.
ZELM_API std::optional<DeviceHolder> find_device_holder(DeviceManager& manager, std::string const& description);

// The holder that an acquisition's DeviceOccupiedError names: the cluster's
// holder for a cluster::HeldElsewhereError, the local lock's otherwise. None
// when it could not be identified. Throws std::bad_alloc only.
ZELM_API std::optional<DeviceHolder> holder_of(DeviceOccupiedError const& error);

// "4242 (zelm)", "4242" without a command, "4242 (zelm) on host-b" with a
// host, "unknown" without a holder. The command and the host are text that
// others wrote: whatever shows the line to people escapes it. Throws
// std::bad_alloc only.
ZELM_API std::string holder_text(std::optional<DeviceHolder> const& holder);

}  // namespace zelm
