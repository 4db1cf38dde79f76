// The module's exceptions: zelm.Error and the subclasses that tell the
// library's errors apart by their C++ types, each raised with the library's
// message unchanged, and zelm.Owner, which zelm.DeviceOccupied carries.
#include "errors.hpp"

#include "bindings.hpp"
#include "json_values.hpp"
#include "numbers.hpp"

#include <zelm/cluster.hpp>
#include <zelm/errors.hpp>
#include <zelm/owner.hpp>
#include <zelm/select.hpp>

#include <nlohmann/json.hpp>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <unistd.h>

#include <array>
#include <climits>
#include <filesystem>
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

// The constructor's arguments, in its order: what repr shows, hash mixes and
// pickle passes.
py::tuple owner_fields(Owner const& owner) {
    return py::make_tuple(owner.pid, owner.command, owner.host, owner.user, owner.since, owner.lab_wide);
}

std::string owner_repr(Owner const& owner) {
    auto const text = [](std::optional<std::string> const& value) {
        return value ? py::repr(py::str(*value)).cast<std::string>() : std::string("None");
    };
    return "Owner(pid=" + std::to_string(owner.pid) + ", command=" + text(owner.command) +
           ", host=" + text(owner.host) + ", user=" + text(owner.user) + ", since=" + text(owner.since) +
           ", lab_wide=" + (owner.lab_wide ? "True" : "False") + ")";
}

void bind_owner(py::module_& module) {
    py::class_<Owner>(module, "Owner",
                      "The process that holds a device: its ownership lock, or for a lab-wide device in a "
                      "cluster, its key.")
        .def(py::init([](Integer const& pid, std::optional<std::string> command, std::optional<std::string> host,
                         std::optional<std::string> user, std::optional<std::string> since, bool lab_wide) {
                 return Owner{in_range<int>(pid, "pid"), std::move(command), std::move(user), std::move(host),
                              std::move(since), lab_wide};
             }),
             py::arg("pid"), py::arg("command") = py::none(), py::arg("host") = py::none(),
             py::arg("user") = py::none(), py::arg("since") = py::none(), py::arg("lab_wide") = false)
        .def_readonly("pid", &Owner::pid, "The holder's process id, on its own host.")
        .def_readonly("command", &Owner::command,
                      "The holder's command name (at most 15 bytes), or None when it cannot be read.")
        .def_readonly("host", &Owner::host,
                      "The host the holder runs on (its cluster host id in a cluster, else this machine's "
                      "name), or None when unknown.")
        .def_readonly("user", &Owner::user, "The holder's user name (or numeric user id), or None when unknown.")
        .def_readonly("since", &Owner::since,
                      "When the holder took the device, UTC, ISO 8601 (\"2026-12-11T10:54:06Z\"), or None when "
                      "unknown.")
        .def_readonly("lab_wide", &Owner::lab_wide,
                      "True when the device is held through the cluster's key, not only this machine's lock.")
        .def("__repr__", &owner_repr)
        .def(
            "__eq__", [](Owner const& owner, Owner const& other) { return owner == other; }, py::is_operator(),
            py::arg("other"))
        .def("__hash__", [](Owner const& owner) { return py::hash(owner_fields(owner)); })
        // Pickled as the call that makes it again.
        .def("__reduce__",
             [](Owner const& owner) { return py::make_tuple(py::type::of<Owner>(), owner_fields(owner)); });
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
    py::object lock_unusable;
    py::object invalid_selector;
    py::object no_device_matches;
    py::object ambiguous_selector;
};

// Lives as long as the process: the translator may run until the
// interpreter is gone, and must never drop the last reference to a class
// after that.
ExceptionClasses* classes = nullptr;

void raise(py::object const& type, char const* message) { PyErr_SetString(type.ptr(), message); }

// Raises an instance of `type` with `message` and the attributes given.
void raise(py::object const& type, char const* message, py::dict const& attributes) {
    py::object const exception = type(message);
    for (auto const& [name, value] : attributes) {
        py::setattr(exception, name, value);
    }
    PyErr_SetObject(type.ptr(), exception.ptr());
}

// Text that others wrote (a command name, a host id), escaped as Python
// escapes it when it is not all printable: the message stays one line.
std::string printable(std::string const& text) {
    py::str const value(text);
    return value.attr("isprintable")().cast<bool>() ? text : py::repr(value).cast<std::string>();
}

// "Device is already occupied by process 4242 (zelm) on bench-1", worded as
// the library words a holder.
std::string occupied_message(DeviceOccupiedError const& error, std::optional<Owner> const& owner) {
    if (!owner) {
        return error.what();
    }
    auto const shown = [](std::optional<std::string> const& text) {
        return text ? std::optional(printable(*text)) : std::nullopt;
    };
    auto holder = *owner;
    holder.command = shown(holder.command);
    holder.host = shown(holder.host);
    return std::string(error.what()) + " by process " + holder_text(holder);
}

void raise_occupied(DeviceOccupiedError const& error) {
    auto const owner = shown_holder(holder_of(error));
    raise(classes->device_occupied, occupied_message(error, owner).c_str(),
          py::dict(py::arg("owner") = owner_object(owner)));
}

// The candidates' descriptions, as list_devices() gives them: each may be
// passed back to zelm.open.
py::tuple candidate_descriptions(AmbiguousSelectorError const& error) {
    py::list descriptions;
    for (auto const& candidate : error.candidates()) {
        descriptions.append(to_python(parse_json(candidate.description)));
    }
    return py::tuple(descriptions);
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
    } catch (DeviceOccupiedError const& error) {  // cluster::HeldElsewhereError among them
        raise_occupied(error);
    } catch (cluster::UnavailableError const& error) {
        raise(classes->cluster_unavailable, error.what());
    } catch (cluster::OwnershipLostError const& error) {
        raise(classes->ownership_lost, error.what());
    } catch (PluginLoadError const& error) {
        raise(classes->plugin_load_error, error.what());
    } catch (LockUnusableError const& error) {
        raise(classes->lock_unusable, error.what(), py::dict(py::arg("path") = py::cast(error.path())));
    } catch (SelectorSyntaxError const& error) {
        raise(classes->invalid_selector, error.what());
    } catch (NoMatchingDeviceError const& error) {
        raise(classes->no_device_matches, error.what(), py::dict(py::arg("incomplete") = error.incomplete()));
    } catch (AmbiguousSelectorError const& error) {
        raise(classes->ambiguous_selector, error.what(),
              py::dict(py::arg("candidates") = candidate_descriptions(error)));
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

std::optional<Owner> shown_holder(std::optional<DeviceHolder> holder) {
    if (holder && !holder->host && !holder->lab_wide) {
        holder->host = local_host_name();
    }
    return holder;
}

py::object owner_object(std::optional<DeviceHolder> const& holder) {
    auto const shown = shown_holder(holder);
    return shown ? py::cast(*shown) : py::none();
}

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
    auto lock_unusable = exception_class(module, "LockUnusable", error,
                                         "A device's ownership lock cannot be taken safely (an unsafe lock "
                                         "directory, a lock file that is a link or cannot be opened), so "
                                         "nothing was owned or opened. Its `path` is the lock directory or lock "
                                         "file refused (a pathlib.Path).");
    lock_unusable.attr("path") = py::none();
    auto invalid_selector = exception_class(module, "InvalidSelector",
                                            py::make_tuple(error, py::handle(PyExc_ValueError)),
                                            "Text given to zelm.open that names no device by the selector rules: "
                                            "bad or too deeply nested JSON, a filter member without a key, empty "
                                            "text, or a row of the zelm tool's last scan (\"@2\").");
    auto no_device_matches = exception_class(module, "NoDeviceMatches",
                                             py::make_tuple(error, py::handle(PyExc_LookupError)),
                                             "No listed device matches what zelm.open was given. `incomplete` is "
                                             "True when a device could not be queried, so that the same name may "
                                             "match once it answers.");
    no_device_matches.attr("incomplete") = false;
    auto ambiguous_selector = exception_class(module, "AmbiguousSelector",
                                              py::make_tuple(error, py::handle(PyExc_LookupError)),
                                              "Several listed devices match what zelm.open was given. "
                                              "`candidates` holds their descriptions (a tuple), each of which "
                                              "names one.");
    ambiguous_selector.attr("candidates") = py::tuple();
    classes = new ExceptionClasses{error, occupied, plugin_load_error, json_error, file_system_error,
                                   cluster_unavailable, ownership_lost, lock_unusable, invalid_selector,
                                   no_device_matches, ambiguous_selector};
    py::register_exception_translator(&translate);
}

}  // namespace zelm::python
