// What the parts of the module share about errors and owners: the one place
// where the library's exceptions become Python's, and the Python form of a
// device's owner.
#pragma once

#include <zelm/device_manager.hpp>
#include <zelm/owner.hpp>

#include <pybind11/pybind11.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>

namespace zelm::python {

// A plug-in that could not be loaded; becomes zelm.PluginLoadError with the
// library's message.
class PluginLoadFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The plug-in's live manager, as get_device_manager gives it. Its standard
// exceptions become PluginLoadFailure with their messages unchanged;
// anything else the plug-in throws passes unchanged (and becomes
// zelm.Error).
std::shared_ptr<DeviceManager> load_manager(std::filesystem::path const& plugin);

// zelm.Owner for a device's holder, or None.
pybind11::object owner_object(std::optional<DeviceOwner> const& owner);

}  // namespace zelm::python
