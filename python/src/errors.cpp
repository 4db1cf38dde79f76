// The module's exceptions: zelm.Error and the subclasses that tell the
// library's errors apart, each raised with the library's message unchanged,
// and zelm.Owner, which zelm.DeviceOccupied carries.
#include "errors.hpp"

#include "bindings.hpp"
#include "numbers.hpp"

#include <zelm/holder.hpp>

#include <nlohmann/json.hpp>
#include <pybind11/stl.h>

#include <unistd.h>

#include <array>
#include <climits>
#include <new>
#include <string>
#include <utility>

namespace zelm::python {

namespace py = pybind11;

namespace {

std::optional<std::string> local_host_name() {
    std::array<char, HOST_NAME_MAX + 1> name{};
    if (gethostname(name.data(), name.size() - 1) != 0) {
        return std::nullopt;
    }
    return std::string(name.data());
}

std::string owner_repr(Owner const& owner) {
    auto const text = [](std::optional<std::string> const& value) {
        return value ? py::repr(py::str(*value)).cast<std::string>() : std::string("None");
    };
    return "Owner(pid=" + std::to_string(owner.pid) + ", command=" + text(owner.command) +
           ", host=" + text(owner.host) + ")";
}

void bind_owner(py::module_& module) {
    py::class_<Owner>(module, "Owner",
                      "The process that holds a device: its ownership lock, or for a lab-wide device in a "
                      "cluster, its key.")
        .def(py::init([](Integer const& pid, std::optional<std::string> command, std::optional<std::string> host) {
                 return Owner{in_range<int>(pid, "pid"), std::move(command), std::move(host)};
             }),
             py::arg("pid"), py::arg("command") = py::none(), py::arg("host") = py::none())
        .def_readonly("pid", &Owner::pid, "The holder's process id.")
        .def_readonly("command", &Owner::command,
                      "The holder's command name (at most 15 bytes), or None when it cannot be read.")
        .def_readonly("host", &Owner::host,
                      "The host the holder runs on (its cluster host id for a lab-wide holder), or None when "
                      "unknown.")
        .def("__repr__", &owner_repr)
        .def(
            "__eq__", [](Owner const& owner, Owner const& other) { return owner == other; }, py::is_operator(),
            py::arg("other"))
        .def("__hash__", [](Owner const& owner) { return py::hash(py::make_tuple(owner.pid, owner.command, owner.host)); })
        // Pickled as the call that makes it again.
        .def("__reduce__", [](Owner const& owner) {
            return py::make_tuple(py::type::of<Owner>(), py::make_tuple(owner.pid, owner.command, owner.host));
        });
}

// An exception class of the module: `bases` is one class or a tuple of them.
py::object exception_class(py::module_& module, char const* name, py::handle bases, char const* doc) {
    auto const full_name = module.attr("__module__").cast<std::string>() + "." + name;
    py::object type = py::reinterpret_steal<py::object>(
        PyErr_NewExceptionWithDoc(full_name.c_str(), doc, bases.ptr(), nullptr));
    if (!type) {
        throw py::error_already_set();
    }
    module.attr(name) = type;
    return type;
}

struct ExceptionClasses {
    py::object error;
    py::object device_occupied;
    py::object plugin_load_error;
    py::object json_error;
    py::object file_system_error;
    py::object cluster_unavailable;
    py::object ownership_lost;
};

// Lives as long as the process: the translator may run until the
// interpreter is gone, and must never drop the last reference to a class
// after that.
ExceptionClasses* classes = nullptr;

void raise(py::object const& type, char const* message) { PyErr_SetString(type.ptr(), message); }

// Text that others wrote (a command name, a host id), escaped as Python
// escapes it when it is not all printable: the message stays one line.
std::string printable(std::string const& text) {
    py::str const value(text);
    return value.attr("isprintable")().cast<bool>() ? text : py::repr(value).cast<std::string>();
}

// "Device is already occupied by process 4242 (zelm) on bench-1", worded as
// the tool words a holder.
std::string occupied_message(DeviceOccupiedError const& error, std::optional<Owner> const& owner) {
    if (!owner) {
        return error.what();
    }
    auto const shown = [](std::optional<std::string> const& text) {
        return text ? std::optional(printable(*text)) : std::nullopt;
    };
    DeviceHolder holder;
    holder.pid = owner->pid;
    holder.command = shown(owner->command);
    holder.host = shown(owner->host);
    return std::string(error.what()) + " by process " + holder_text(holder);
}

void raise_occupied(DeviceOccupiedError const& error, std::optional<Owner> const& owner) {
    py::object const exception = classes->device_occupied(occupied_message(error, owner));
    exception.attr("owner") = owner_object(owner);
    PyErr_SetObject(classes->device_occupied.ptr(), exception.ptr());
}

// pybind11's own exceptions (a Python error passing through C++, a failed
// conversion, StopIteration) keep their meaning: they are rethrown to
// pybind11's translator. Memory exhaustion stays Python's MemoryError.
void translate(std::exception_ptr thrown) {
    try {
        std::rethrow_exception(thrown);
    } catch (py::error_already_set const&) {
        throw;
    } catch (py::builtin_exception const&) {
        throw;
    } catch (std::bad_alloc const&) {
        throw;
    } catch (cluster::HeldElsewhereError const& error) {
        raise_occupied(error, lab_owner(error.lab_owner()));
    } catch (DeviceOccupiedError const& error) {
        raise_occupied(error, local_owner(error.owner()));
    } catch (cluster::UnavailableError const& error) {
        raise(classes->cluster_unavailable, error.what());
    } catch (cluster::OwnershipLostError const& error) {
        raise(classes->ownership_lost, error.what());
    } catch (PluginLoadFailure const& error) {
        raise(classes->plugin_load_error, error.what());
    } catch (nlohmann::json::exception const& error) {
        raise(classes->json_error, error.what());
    } catch (JsonFailure const& error) {
        raise(classes->json_error, error.what());
    } catch (std::filesystem::filesystem_error const& error) {
        raise(classes->file_system_error, error.what());
    } catch (std::exception const& error) {
        raise(classes->error, error.what());
    } catch (...) {
        raise(classes->error, "a plug-in threw an exception that is not a standard exception");
    }
}

}  // namespace

std::shared_ptr<DeviceManager> load_manager(std::filesystem::path const& plugin) {
    try {
        return get_device_manager(plugin);
    } catch (std::bad_alloc const&) {
        throw;
    } catch (std::exception const& error) {
        throw PluginLoadFailure(error.what());
    }
}

std::optional<Owner> with_host(std::optional<Owner> owner) {
    if (owner && !owner->host) {
        owner->host = local_host_name();
    }
    return owner;
}

std::optional<Owner> local_owner(std::optional<DeviceOwner> const& owner) {
    return with_host(tool::local_holder(owner));
}

Owner lab_owner(cluster::Owner const& owner) { return tool::lab_holder(owner); }

py::object owner_object(std::optional<Owner> const& owner) { return owner ? py::cast(*owner) : py::none(); }

py::object owner_object(std::optional<DeviceOwner> const& owner) { return owner_object(local_owner(owner)); }

void bind_errors(py::module_& module) {
    bind_owner(module);
    auto error = exception_class(module, "Error", PyExc_Exception,
                                 "Every error of the library, with the library's message unchanged.");
    auto occupied = exception_class(module, "DeviceOccupied", error,
                                    "Another owner, in this process or another, holds the device. Its `owner` "
                                    "is the holder (a zelm.Owner), or None when it could not be identified.");
    occupied.attr("owner") = py::none();
    auto plugin_load_error = exception_class(module, "PluginLoadError", error,
                                             "A plug-in file is missing, not a plug-in, built for another "
                                             "interface, or its create_manager failed.");
    auto json_error = exception_class(module, "JSONError", py::make_tuple(error, py::handle(PyExc_ValueError)),
                                      "A description or other JSON text that is not valid JSON (or not valid "
                                      "UTF-8), or one nested deeper than the library takes (a value that "
                                      "contains itself among them).");
    auto file_system_error = exception_class(module, "FileSystemError", py::make_tuple(error, py::handle(PyExc_OSError)),
                                             "A directory or file the library needs cannot be found or read.");
    auto cluster_unavailable = exception_class(module, "ClusterUnavailable", error,
                                               "The cluster cannot answer (no endpoint reachable, no quorum, a "
                                               "request timed out); an acquisition that raises it holds nothing.");
    auto ownership_lost = exception_class(module, "OwnershipLost", error,
                                          "The device's lab-wide ownership is lost, or may have lapsed: the "
                                          "device no longer forwards operations. Close it and open it anew.");
    classes = new ExceptionClasses{error, occupied, plugin_load_error, json_error,
                                   file_system_error, cluster_unavailable, ownership_lost};
    py::register_exception_translator(&translate);
}

}  // namespace zelm::python
