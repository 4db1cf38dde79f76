// Which devices are lab-wide: the plug-in's zelm_is_lab_wide, looked up in
// the library that defined the manager's type.
#pragma once

#include <zelm/device_manager.hpp>

#include <string>

namespace zelm::detail {

using LabWideQuery = int (*)(DeviceManager*, char const*) noexcept;

// The zelm_is_lab_wide of the plug-in that made `manager`; null when it has
// none (or the manager was not made by a plug-in). Valid while the manager
// lives. Never throws.
LabWideQuery lab_wide_query_of(DeviceManager const& manager) noexcept;

// Whether `query` marks the device (compact JSON) lab-wide; false for a null
// query.
bool marks_lab_wide(LabWideQuery query, DeviceManager& manager, std::string const& compact_description) noexcept;

// owners_prefix + manager path + "/" + compact description.
std::string owner_key_of(std::string const& manager_path, std::string const& compact_description);

}  // namespace zelm::detail
