// JSON as Python values and back: null, booleans, numbers, strings, arrays
// and objects become None, bool, int/float, str, list and dict.
#pragma once

#include <nlohmann/json.hpp>
#include <pybind11/pybind11.h>

#include <string>

namespace zelm::python {

pybind11::object to_python(nlohmann::json const& value);

// Throws pybind11::type_error for a value JSON cannot hold (an object key
// that is not a string, a set, an integer beyond 64 bits...).
nlohmann::json from_python(pybind11::handle value);

// JSON text of a description given as JSON text (passed as it is, for the
// library to parse) or as a Python value (a dict as scans give it).
std::string description_text(pybind11::handle description);

// The same description as a JSON value.
nlohmann::json description_value(pybind11::handle description);

}  // namespace zelm::python
