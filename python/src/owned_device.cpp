#include "owned_device.hpp"

#include <pybind11/pybind11.h>

#include <fmt/format.h>

#include <stdexcept>
#include <utility>

namespace zelm::python {

namespace {

// A Python callable that the library may call, copy or drop on any thread:
// each of these takes the GIL. Dropped once the interpreter is finalizing,
// it is left alone, as the interpreter's own objects are by then.
class PythonCallback {
public:
    explicit PythonCallback(pybind11::object callable)
        : callable_(new pybind11::object(std::move(callable)), [](pybind11::object* object) {
              if (Py_IsInitialized() == 0 || _Py_IsFinalizing() != 0) {
                  return;
              }
              pybind11::gil_scoped_acquire const acquired;
              delete object;
          }) {}

    void operator()(std::string const& reason) const {
        if (Py_IsInitialized() == 0 || _Py_IsFinalizing() != 0) {
            return;
        }
        pybind11::gil_scoped_acquire const acquired;
        try {
            (*callable_)(reason);
        } catch (pybind11::error_already_set& error) {
            error.discard_as_unraisable("zelm.Device ownership-lost callback");
        }
    }

private:
    std::shared_ptr<pybind11::object> callable_;
};

}  // namespace

OwnedDevice::OwnedDevice(std::unique_ptr<ManagedDevice> opened, std::filesystem::path plugin,
                         nlohmann::json description)
    : device(std::move(opened)), plugin_(std::move(plugin)), description_(std::move(description)) {}

OwnedDevice::~OwnedDevice() {
    if (PyGILState_Check() != 0) {
        close();
    }
}  // otherwise the device closes with its last handle

std::shared_ptr<ManagedDevice> OwnedDevice::for_call(std::string_view operation) const {
    if (!device) {
        throw std::runtime_error(fmt::format("{} on a closed device", operation));
    }
    return device;
}

std::optional<std::string> OwnedDevice::ownership_lost() const {
    auto device_for_call = for_call("ownership_lost");
    // Asking may find the lease lapsed and call the callback, which takes the GIL.
    pybind11::gil_scoped_release const released;
    auto const held = std::move(device_for_call);  // see for_call
    return held->ownership_lost();
}

void OwnedDevice::on_ownership_lost(pybind11::object callback) {
    auto device_for_call = for_call("on_ownership_lost");
    ManagedDevice::OwnershipLostCallback call = [](std::string const&) {};
    if (!callback.is_none()) {
        call = PythonCallback(std::move(callback));
    }
    pybind11::gil_scoped_release const released;
    auto const held = std::move(device_for_call);  // see for_call
    held->on_ownership_lost(std::move(call));
}

void OwnedDevice::close() {
    auto closing = std::exchange(device, nullptr);
    pybind11::gil_scoped_release const released;
    closing.reset();
}

}  // namespace zelm::python
