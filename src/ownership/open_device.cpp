#include "ownership/open_device.hpp"

#include <stdexcept>

namespace zelm::detail {

std::unique_ptr<Device> open_device_checked(DeviceManager& manager, std::string const& description) {
    auto device = manager.open_device(description);
    if (!device) {
        throw std::runtime_error("Device Manager returned no device: " + description);
    }
    return device;
}

}  // namespace zelm::detail
