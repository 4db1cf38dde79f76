// Managers and device identities: zelm.load, zelm.Manager, zelm.lock_id and
// zelm.find_owner.
#include "bindings.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "json_values.hpp"
#include "plugin_directory.hpp"

#include <zelm/device_manager.hpp>
#include <zelm/holder.hpp>
#include <zelm/lock.hpp>

#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <memory>
#include <string>

namespace zelm::python {

namespace py = pybind11;

namespace {

// Every call into the plug-in runs without the GIL: a plug-in may take its time.
using Manager = std::shared_ptr<DeviceManager>;

// The descriptions in the list, taken as the library's scan takes them:
// array elements in order, object member values in key order, none for
// null, otherwise the one value (which is how JSON values iterate).
py::list list_devices(DeviceManager& manager) {
    auto const devices = parse_json(without_gil([&] { return manager.list_devices(); }));
    py::list list;
    for (auto const& description : devices) {
        list.append(to_python(description));
    }
    return list;
}

std::string manager_repr(DeviceManager& manager) {
    auto const [name, version, path] = without_gil([&] {
        return std::tuple(manager.get_name(), manager.get_version(), manager.get_path().native());
    });
    return "<zelm.Manager " + py::repr(py::str(name)).cast<std::string>() + " version " +
           py::repr(py::str(version)).cast<std::string>() + " path " + py::repr(py::str(path)).cast<std::string>() +
           ">";
}

void bind_manager(py::module_& module) {
    py::class_<DeviceManager, Manager>(module, "Manager",
                                       "A device family's manager: the one that a plug-in file makes, shared by "
                                       "everything in this process that uses that plug-in.")
        .def_property_readonly(
            "name", [](DeviceManager& manager) { return without_gil([&] { return manager.get_name(); }); },
            "The family's display name.")
        .def_property_readonly(
            "version", [](DeviceManager& manager) { return without_gil([&] { return manager.get_version(); }); },
            "The plug-in's version text.")
        .def_property_readonly(
            "path", [](DeviceManager& manager) { return without_gil([&] { return manager.get_path(); }); },
            "The manager path (pathlib.Path): part of every device's lock identity.")
        .def("list_devices", &list_devices,
             "The descriptions of the devices the manager sees now, as Python values (usually dicts).")
        .def("__repr__", &manager_repr);
}

}  // namespace

void bind_managers(py::module_& module) {
    bind_manager(module);
    module.def(
        "load",
        [](std::filesystem::path const& plugin) {
            auto const path = resolve_plugin(plugin);
            return without_gil([&] { return get_device_manager(path); });
        },
        py::arg("plugin"),
        "The live manager of the plug-in file `plugin` (str or path; a bare file name is looked up in "
        "zelm.default_plugin_directory()), loading the plug-in when no manager of it lives. Raises "
        "zelm.PluginLoadError when the file is missing or does not load.");
    module.def(
        "lock_id",
        [](std::filesystem::path const& manager_path, Description const& description) {
            return detail::make_lock_id(manager_path, description_value(description));
        },
        py::arg("manager_path"), py::arg("description"),
        "The lock identity (\"device_<hex>\") of the device that `description` (a dict or JSON text) names under "
        "`manager_path` (a manager's path): the stem of its lock files. Raises zelm.JSONError for text that is not "
        "JSON.");
    module.def(
        "find_owner",
        [](std::filesystem::path const& manager_path, Description const& description) {
            auto const text = description_text(description);
            return owner_object(without_gil([&] { return find_device_holder(manager_path, text); }));
        },
        py::arg("manager_path"), py::arg("description"),
        "The zelm.Owner holding the device that `description` (a dict or JSON text) names under `manager_path`, "
        "or None when it is free or its holder cannot be identified: in a cluster the holder that the device's "
        "key names, if any, otherwise the process holding its lock on this machine (also when the cluster "
        "cannot answer). Takes no lock. Raises zelm.JSONError for text that is not JSON.");
}

}  // namespace zelm::python
