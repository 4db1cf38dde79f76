// JSON as Python values and back: null, booleans, numbers, strings, arrays
// and objects become None, bool, int/float, str, list and dict.
#pragma once

#include "typed_object.hpp"

#include <nlohmann/json.hpp>
#include <pybind11/pybind11.h>

#include <string>

namespace zelm::python {

pybind11::object to_python(nlohmann::json const& value);

// Both ways take values nested as deeply as the library takes JSON from
// outside (detail::max_json_depth levels), no deeper: deeper values would
// exhaust the stack, here or in the library.

// Throws pybind11::type_error for a value JSON cannot hold (an object key
// that is not a string, a set, an integer beyond 64 bits...), JsonFailure for
// one nested too deeply (a container that contains itself among them).
nlohmann::json from_python(pybind11::handle value);

// The JSON value of `text`. Throws nlohmann::json::parse_error for text that
// is not JSON, JsonFailure for a value nested too deeply.
nlohmann::json parse_json(std::string const& text);

// A device's description as callers give it: JSON text, or a Python value
// (a dict as scans give it).
using Description = Typed<"Union[str, dict]">;

// JSON text of a description given as JSON text (passed as it is, for the
// library to parse) or as a Python value (a dict as scans give it).
std::string description_text(pybind11::handle description);

// The same description as a JSON value.
nlohmann::json description_value(pybind11::handle description);

}  // namespace zelm::python
