// Who holds a device that a scan found occupied: the one look-up that the
// tool's scans and the Python module's scans share.
#pragma once

#include "device_owner.hpp"

#include <zelm/scan.hpp>

#include <filesystem>
#include <optional>

namespace zelm::tool {

// The holder of `occupied`, a result of the most recent scan in this
// process. A lab-wide device held on another host is named as that scan
// learnt it from the cluster; otherwise the holder of the device's lock on
// this machine is looked up under `manager_path` (its plug-in's manager
// path, which scan results do not carry), with this host's id when in a
// cluster. None when it cannot be identified, or without a manager path for
// a local holder. Never throws but std::bad_alloc.
std::optional<DeviceOwner> occupied_owner(DeviceOccupied const& occupied,
                                          std::optional<std::filesystem::path> const& manager_path);

}  // namespace zelm::tool
