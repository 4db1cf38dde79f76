// A device that a Python program owns: the library's managed device (which
// holds the device's ownership lock) until close() or the end of a `with`
// block, with the plug-in and description that name it.
#pragma once

#include <zelm/device.hpp>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <memory>
#include <string_view>

namespace zelm::python {

class OwnedDevice {
public:
    OwnedDevice(std::unique_ptr<Device> opened, std::filesystem::path plugin, nlohmann::json description);
    // A device that Python drops without closing it closes here, as close()
    // closes it.
    ~OwnedDevice();
    OwnedDevice(OwnedDevice const&) = delete;
    OwnedDevice& operator=(OwnedDevice const&) = delete;

    // The device for one call of `operation`, kept alive for that call even
    // when another thread closes it meanwhile. Call with the GIL held. Throws
    // std::runtime_error "<operation> on a closed device" after close().
    std::shared_ptr<Device> for_call(std::string_view operation) const;
    // Releases the device and its ownership; does nothing when closed. Call
    // with the GIL held: it releases the GIL while the device closes, since
    // the device's own threads may log, and log lines go to Python.
    void close();
    bool closed() const { return device == nullptr; }

    std::filesystem::path const& plugin() const { return plugin_; }
    nlohmann::json const& description() const { return description_; }

private:
    std::shared_ptr<Device> device;
    std::filesystem::path plugin_;
    nlohmann::json description_;
};

}  // namespace zelm::python
