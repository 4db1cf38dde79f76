#include "owned_device.hpp"

#include <pybind11/pybind11.h>

#include <fmt/format.h>

#include <stdexcept>
#include <utility>

namespace zelm::python {

OwnedDevice::OwnedDevice(std::unique_ptr<Device> opened, std::filesystem::path plugin, nlohmann::json description)
    : device(std::move(opened)), plugin_(std::move(plugin)), description_(std::move(description)) {}

OwnedDevice::~OwnedDevice() {
    if (PyGILState_Check() != 0) {
        close();
    }
}  // otherwise the device closes with its last handle

std::shared_ptr<Device> OwnedDevice::for_call(std::string_view operation) const {
    if (!device) {
        throw std::runtime_error(fmt::format("{} on a closed device", operation));
    }
    return device;
}

void OwnedDevice::close() {
    auto closing = std::exchange(device, nullptr);
    pybind11::gil_scoped_release const released;
    closing.reset();
}

}  // namespace zelm::python
