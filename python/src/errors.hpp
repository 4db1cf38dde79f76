// What the parts of the module share about errors and owners: the one place
// where the library's exceptions become Python's, and the Python form of a
// device's owner.
#pragma once

#include <zelm/cluster.hpp>
#include <zelm/device_manager.hpp>
#include <zelm/owner.hpp>

#include "device_owner.hpp"

#include <pybind11/pybind11.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace zelm::python {

// A plug-in that could not be loaded; becomes zelm.PluginLoadError with the
// library's message.
class PluginLoadFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A Python value or text that gives no JSON value the library takes (nested
// too deeply, say); becomes zelm.JSONError, also a ValueError.
class JsonFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The plug-in's live manager, as get_device_manager gives it. Its standard
// exceptions become PluginLoadFailure with their messages unchanged;
// anything else the plug-in throws passes unchanged (and becomes
// zelm.Error).
std::shared_ptr<DeviceManager> load_manager(std::filesystem::path const& plugin);

// The process that holds a device, as zelm.Owner shows it: the tool's
// holder (pid, command, host).
using Owner = tool::DeviceOwner;

// The holder of a device's ownership lock: a process of this machine, whose
// host is this host's id in a cluster, else the machine's name.
std::optional<Owner> local_owner(std::optional<DeviceOwner> const& owner);

// The holder of a lab-wide device's key: a process of the host it names.
Owner lab_owner(cluster::Owner const& owner);

// The same for a holder the tool looked up (tool::occupied_owner): outside a
// cluster its host is the machine's name.
std::optional<Owner> with_host(std::optional<Owner> owner);

// zelm.Owner for a device's holder, or None.
pybind11::object owner_object(std::optional<Owner> const& owner);
pybind11::object owner_object(std::optional<DeviceOwner> const& owner);

}  // namespace zelm::python
