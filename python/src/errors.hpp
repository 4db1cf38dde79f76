// What the parts of the module share about errors and holders: the one place
// where the library's exceptions become Python's, and the Python form of a
// device's holder.
#pragma once

#include <zelm/holder.hpp>

#include <pybind11/pybind11.h>

#include <optional>
#include <stdexcept>

namespace zelm::python {

// A Python value or text that gives no JSON value the library takes (nested
// too deeply, say); becomes zelm.JSONError, also a ValueError.
class JsonFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The process that holds a device, as zelm.Owner shows it.
using Owner = DeviceHolder;

// The holder as Python shows it: a holder on this machine outside a cluster,
// which the library names no host for, runs on this machine's host name.
std::optional<Owner> shown_holder(std::optional<DeviceHolder> holder);

// zelm.Owner for a device's holder (as shown_holder shows it), or None.
pybind11::object owner_object(std::optional<DeviceHolder> const& holder);

}  // namespace zelm::python
