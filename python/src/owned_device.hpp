// A device that a Python program owns: the library's managed device (which
// holds the device's ownership lock) until close() or the end of a `with`
// block, with the plug-in and description that name it, and the streams it
// started, which end before its ownership does.
#pragma once

#include <zelm/managed_device.hpp>

#include <nlohmann/json.hpp>
#include <pybind11/pybind11.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelm::python {

class RunningStream;

class OwnedDevice {
public:
    OwnedDevice(std::unique_ptr<ManagedDevice> opened, std::filesystem::path plugin, nlohmann::json description);
    // A device that Python drops without closing it closes here, as close()
    // closes it.
    ~OwnedDevice();
    OwnedDevice(OwnedDevice const&) = delete;
    OwnedDevice& operator=(OwnedDevice const&) = delete;

    // The device for one call of `operation`, kept alive for that call even
    // when another thread closes it meanwhile. Call with the GIL held, and
    // drop the handle before taking the GIL again: the last handle closes
    // the device, which waits for an ownership-lost callback in progress,
    // and that callback needs the GIL. Throws std::runtime_error
    // "<operation> on a closed device" after close().
    std::shared_ptr<ManagedDevice> for_call(std::string_view operation) const;
    // Stops the device's streams and waits for them, then releases the
    // device and its ownership; does nothing when closed. Call with the GIL
    // held: it releases the GIL meanwhile, since the device's own threads may
    // log, and log lines go to Python. Throws what a stream's stop throws,
    // once the device is closed all the same.
    void close();
    bool closed() const { return device == nullptr; }

    // Why the device's lab-wide ownership is lost; none while it holds (and
    // always for a device that is not lab-wide). Throws as for_call does.
    std::optional<std::string> ownership_lost() const;
    // Calls `callback(reason)` once, with the GIL, when the lab-wide ownership
    // is lost (at once when it is already); None stops calling the earlier
    // one. Call with the GIL held: it releases the GIL while it replaces a
    // callback that may be running on the cluster's thread. An exception
    // of the callback goes to sys.unraisablehook. Throws as for_call does.
    void on_ownership_lost(pybind11::object callback);

    // Takes a stream that this device started, to stop it on close(); false
    // when the device is closed or closing (then the caller stops it). Any
    // thread, with or without the GIL.
    bool adopt(std::shared_ptr<RunningStream> const& stream);

    std::filesystem::path const& plugin() const { return plugin_; }
    nlohmann::json const& description() const { return description_; }

private:
    // Stops every stream adopted so far and refuses any later one. Call
    // without the GIL.
    void stop_streams();

    std::shared_ptr<ManagedDevice> device;
    std::mutex streams_mutex;  // for the two below; never held while a stream stops
    std::vector<std::weak_ptr<RunningStream>> streams;
    bool streams_stopped = false;
    std::filesystem::path plugin_;
    nlohmann::json description_;
};

}  // namespace zelm::python
