#include "owned_device.hpp"

#include "gil.hpp"
#include "stream.hpp"

#include <pybind11/pybind11.h>

#include <fmt/format.h>

#include <exception>
#include <stdexcept>
#include <utility>

namespace zelm::python {

namespace {

// A Python callable that the library may call, copy or drop on any thread:
// each of these takes the GIL. Once the interpreter has begun to exit, it is
// neither called nor dropped: the interpreter's own objects are left alone
// by then too.
class PythonCallback {
public:
    explicit PythonCallback(pybind11::object callable)
        : callable_(new pybind11::object(std::move(callable)), [](pybind11::object* object) {
              with_python([object] { delete object; });
          }) {}

    void operator()(std::string const& reason) const {
        with_python([&] {
            try {
                (*callable_)(reason);
            } catch (pybind11::error_already_set& error) {
                error.discard_as_unraisable("zelm.Device ownership-lost callback");
            }
        });
    }

private:
    std::shared_ptr<pybind11::object> callable_;
};

}  // namespace

OwnedDevice::OwnedDevice(std::unique_ptr<ManagedDevice> opened, std::filesystem::path plugin,
                         nlohmann::json description)
    : device(std::move(opened)), plugin_(std::move(plugin)), description_(std::move(description)) {}

OwnedDevice::~OwnedDevice() {
    try {
        if (PyGILState_Check() != 0) {
            close();
        } else {
            stop_streams();
        }  // then the device closes with its last handle
    } catch (...) {
        // A stream that failed to stop, with nobody left to tell; the device
        // is released all the same.
    }
}

std::shared_ptr<ManagedDevice> OwnedDevice::for_call(std::string_view operation) const {
    if (!device) {
        throw std::runtime_error(fmt::format("{} on a closed device", operation));
    }
    return device;
}

std::optional<std::string> OwnedDevice::ownership_lost() const {
    auto device_for_call = for_call("ownership_lost");
    // Asking may find the lease lapsed and call the callback, which takes the GIL.
    return without_gil([&] {
        auto const held = std::move(device_for_call);  // see for_call
        return held->ownership_lost();
    });
}

void OwnedDevice::on_ownership_lost(pybind11::object callback) {
    auto device_for_call = for_call("on_ownership_lost");
    ManagedDevice::OwnershipLostCallback call = [](std::string const&) {};
    if (!callback.is_none()) {
        call = PythonCallback(std::move(callback));
    }
    without_gil([&] {
        auto const held = std::move(device_for_call);  // see for_call
        held->on_ownership_lost(std::move(call));
    });
}

bool OwnedDevice::adopt(std::shared_ptr<RunningStream> const& stream) {
    std::lock_guard const lock(streams_mutex);
    if (streams_stopped) {
        return false;
    }
    std::erase_if(streams, [](auto const& adopted) { return adopted.expired(); });
    streams.push_back(stream);
    return true;
}

void OwnedDevice::stop_streams() {
    std::vector<std::weak_ptr<RunningStream>> stopping;
    {
        std::lock_guard const lock(streams_mutex);
        streams_stopped = true;
        stopping.swap(streams);
    }
    std::exception_ptr failure;
    for (auto const& adopted : stopping) {
        if (auto const stream = adopted.lock()) {
            try {
                stream->stop();
            } catch (...) {
                failure = failure ? failure : std::current_exception();
            }
        }
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void OwnedDevice::close() {
    if (!device) {
        return;
    }
    auto closing = std::exchange(device, nullptr);
    without_gil([&] {
        // The device's last handle goes also when a stream fails to stop.
        auto const last = std::move(closing);
        stop_streams();
    });
}

}  // namespace zelm::python
