// Opening a device through its manager, for the library's own callers: a
// manager that breaks its contract by returning no device gets an error, not
// a null dereference.
#pragma once

#include <zelm/device_manager.hpp>

#include <memory>
#include <string>

namespace zelm::detail {

// The device `manager` opens for `description` (compact JSON text). Throws
// std::runtime_error "Device Manager returned no device: <description>" for
// an empty handle, and what open_device throws.
std::unique_ptr<Device> open_device_checked(DeviceManager& manager, std::string const& description);

}  // namespace zelm::detail
