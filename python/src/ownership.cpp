// zelm.open: owns, then opens, one device of a plug-in, named by its
// description or by a selector, chosen by the library's rules, so that a
// name means the same device here as in every other host.
#include "bindings.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "json_values.hpp"
#include "owned_device.hpp"
#include "plugin_directory.hpp"

#include <zelm/device_manager.hpp>
#include <zelm/managed_device.hpp>
#include <zelm/select.hpp>

#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <stop_token>
#include <string>

namespace py = pybind11;

namespace zelm::python {

namespace {

// "@2" is a row of the zelm tool's last scan table, a file of the tool's
// that the module does not read; it is refused rather than read as a serial
// number, so that the same text never names two devices.
void refuse_table_row(std::string const& text) {
    if (text.starts_with('@')) {
        throw SelectorSyntaxError("\"" + text +
                                  "\" names a row of the zelm tool's last scan table, which zelm.open does not "
                                  "read; name the device by its description, its serial number or key=value");
    }
}

// Text is a selector (JSON text among them); any other value a description.
DeviceSelector selector_of(py::handle description) {
    if (!py::isinstance<py::str>(description)) {
        return DeviceSelector::of_description(from_python(description));
    }
    auto const text = description.cast<std::string>();
    refuse_table_row(text);
    return DeviceSelector::parse(text);
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
        auto selected = select_device({path}, selector);
        auto device = selected.manager->open_managed_device(selected.description);
        return Acquired{std::move(device), std::move(selected.plugin_path),
                        nlohmann::json::parse(selected.description)};
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
list_devices() give it (a dict), its JSON text, or a selector: a serial
number as a scan shows it ("SIM-0002"), or a key=value filter over the
description's members ("model=sim-memory,serial=SIM-0003"). Exactly one
listed device must match. A serial number names a free device by the serial
number it shows and an occupied one by the serial number it showed when it
was last free, so opening a held device by its serial number raises
zelm.DeviceOccupied. Rows of the zelm tool's last scan ("@2") are the tool's
own and raise zelm.InvalidSelector: name the device by its description,
serial number or key=value instead.

The device's ownership lock is taken before the device is opened, so nothing
opens a device that another owner holds. Use the result as a context manager
(`with zelm.open(plugin, description) as dev:`) or call its close().

Raises zelm.DeviceOccupied (with .owner) when another owner holds the device
(for a lab-wide device in a cluster, also on another host),
zelm.ClusterUnavailable when the device is lab-wide and the cluster cannot
answer (nothing is then held), zelm.InvalidSelector (a ValueError) for text
that is no selector, zelm.NoDeviceMatches or zelm.AmbiguousSelector (with
.candidates; both LookupErrors) when no device or several match,
zelm.PluginLoadError when the plug-in does not load, zelm.LockUnusable when
the device's lock cannot be taken safely, and zelm.Error when the device does
not open. Ctrl-C raises KeyboardInterrupt at once, also while a lab-wide
device waits for the cluster; a device acquired after that is released on
the way.)");
}

}  // namespace zelm::python
