// zelm.open: owns, then opens, one device of a plug-in, named by its
// description or by a selector as the zelm tool reads it (the tool's own
// selector code, so the rules are the same in both).
#include "bindings.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "json_values.hpp"
#include "owned_device.hpp"
#include "plugin_directory.hpp"

#include <commands.hpp>
#include <device_session.hpp>
#include <selector.hpp>

#include <zelm/device_manager.hpp>
#include <zelm/managed_device.hpp>

#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <stdexcept>
#include <stop_token>
#include <string>

namespace py = pybind11;

namespace zelm::python {

namespace {

// Text is a selector (JSON text among them); any other value a description.
tool::Selector selector_of(py::handle description) {
    if (!py::isinstance<py::str>(description)) {
        auto typed = from_python(description);
        return {typed.dump(), tool::DescriptionSelector{std::move(typed)}};
    }
    auto parsed = tool::parse_selector(description.cast<std::string>());
    if (!parsed) {
        throw std::invalid_argument(parsed.error());
    }
    return std::move(*parsed);
}

// What an acquisition took, before Python sees it.
struct Acquired {
    std::unique_ptr<ManagedDevice> device;
    std::filesystem::path plugin;
    nlohmann::json description;
};

std::unique_ptr<OwnedDevice> open(std::filesystem::path const& plugin, Description const& description) {
    auto selector = selector_of(description);
    // Absolute: the device keeps naming its plug-in when the working
    // directory changes.
    auto path = std::filesystem::absolute(resolve_plugin(plugin));
    // Interruptible: a lab-wide device may wait for a cluster that does not
    // answer. A device acquired after Ctrl-C is released on the way.
    auto acquired = interruptible([path = std::move(path), selector = std::move(selector)](std::stop_token const&) {
        // Loaded here first, so that a plug-in that does not load raises
        // zelm.PluginLoadError in the library's words.
        auto const manager = load_manager(path);
        auto chosen = tool::choose_device({path, selector});
        auto device = chosen.manager->open_managed_device(chosen.description.dump());
        return Acquired{std::move(device), std::move(chosen.plugin), std::move(chosen.description)};
    });
    return std::make_unique<OwnedDevice>(std::move(acquired.device), std::move(acquired.plugin),
                                         std::move(acquired.description));
}

}  // namespace

void bind_ownership(py::module_& module) {
    module.def("open", &open, py::arg("plugin"), py::arg("description"),
               R"(Owns, then opens, one device of the plug-in file `plugin` (a bare file name is looked up in
zelm.default_plugin_directory()).

`description` names the device: a description as scan results and
list_devices() give it (a dict), its JSON text, or a selector as the zelm tool
reads it: a serial number as a scan shows it ("SIM-0002"), a key=value filter
over the description's members ("model=sim-memory,serial=SIM-0003") or a row
of the tool's last scan ("@2"). Exactly one listed device must match; a
scan shows no serial number for an occupied device, so a serial number
names only a free one.

The device's ownership lock is taken before the device is opened, so nothing
opens a device that another owner holds. Use the result as a context manager
(`with zelm.open(plugin, description) as dev:`) or call its close().

Raises zelm.DeviceOccupied (with .owner) when another owner holds the device
(for a lab-wide device in a cluster, also on another host),
zelm.ClusterUnavailable when the device is lab-wide and the cluster cannot
answer (nothing is then held), and zelm.Error when the plug-in does not load,
no device or several match, or the device does not open. Ctrl-C raises
KeyboardInterrupt at once, also while a lab-wide device waits for the
cluster; a device acquired after that is released on the way.)");
}

}  // namespace zelm::python
