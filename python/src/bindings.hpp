// One binding function per part of the module, called in this order by
// module.cpp (later parts use the types of earlier ones).
#pragma once

#include <pybind11/pybind11.h>

namespace zelm::python {

// The module's part in the interpreter's exit (see gil.hpp). First: its
// atexit hook must run after the others.
void bind_interpreter_exit(pybind11::module_& module);

// zelm.Error and its subclasses, and the translation of the library's
// exceptions into them.
void bind_errors(pybind11::module_& module);

// zelm.default_plugin_directory, where bare plug-in file names are looked up.
void bind_plugin_directory(pybind11::module_& module);

// zelm.load and zelm.Manager, zelm.lock_id and zelm.find_owner.
void bind_managers(pybind11::module_& module);

// zelm.Stream: a device's read stream as an iterator of bytes.
void bind_stream(pybind11::module_& module);

// zelm.Device: the operations of an owned device.
void bind_device(pybind11::module_& module);

// zelm.open: owning a device of a plug-in.
void bind_ownership(pybind11::module_& module);

// zelm.join_cluster and the rest of this process's cluster membership.
void bind_cluster(pybind11::module_& module);

// zelm.scan and its results.
void bind_scan(pybind11::module_& module);

// The library's log lines on Python's logger "zelm".
void bind_logging(pybind11::module_& module);

}  // namespace zelm::python
