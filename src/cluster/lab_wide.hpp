// Which devices are lab-wide: the plug-in says so through its capability
// table, which the loader keeps with the manager.
#pragma once

#include "loader/plugin_capabilities.hpp"

#include <zelm/device_manager.hpp>

#include <string>

namespace zelm::detail {

// The lab-wide query of the plug-in that made `manager`; null when it has
// none, or the manager was not made by the loader. Valid while the manager
// lives. Never throws.
LabWideQuery lab_wide_query_of(DeviceManager const& manager) noexcept;

// Whether `query` marks the device (compact JSON) lab-wide; false for a null
// query.
bool marks_lab_wide(LabWideQuery query, DeviceManager& manager, std::string const& compact_description) noexcept;

// owners_prefix + manager path + "/" + compact description.
std::string owner_key_of(std::string const& manager_path, std::string const& compact_description);

}  // namespace zelm::detail
