// Conversion between nlohmann::json and Python values, member by member, so
// that no JSON text is written or parsed on the way.
#include "json_values.hpp"

#include "errors.hpp"

#include <zelm/device_manager.hpp>

#include <fmt/format.h>

#include <cstdint>
#include <string_view>

namespace zelm::python {

namespace py = pybind11;
using nlohmann::json;

py::object to_python(json const& value) {
    switch (value.type()) {
    case json::value_t::null:
    case json::value_t::discarded:
        return py::none();
    case json::value_t::boolean:
        return py::bool_(value.get<bool>());
    case json::value_t::number_integer:
        return py::int_(value.get<std::int64_t>());
    case json::value_t::number_unsigned:
        return py::int_(value.get<std::uint64_t>());
    case json::value_t::number_float:
        return py::float_(value.get<double>());
    case json::value_t::string:
        return py::str(value.get_ref<json::string_t const&>());
    case json::value_t::binary: {
        auto const& bytes = value.get_binary();
        return py::bytes(reinterpret_cast<char const*>(bytes.data()), bytes.size());
    }
    case json::value_t::array: {
        py::list list(value.size());
        std::size_t index = 0;
        for (auto const& element : value) {
            list[index++] = to_python(element);
        }
        return list;
    }
    case json::value_t::object: {
        py::dict dict;
        for (auto const& [key, member] : value.items()) {
            dict[py::str(key)] = to_python(member);
        }
        return dict;
    }
    }
    return py::none();
}

namespace {

json integer_from_python(py::handle value) {
    int overflow = 0;
    auto const signed_value = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow == 0) {
        if (signed_value == -1 && PyErr_Occurred()) {
            throw py::error_already_set();
        }
        return static_cast<std::int64_t>(signed_value);
    }
    if (overflow > 0) {
        auto const unsigned_value = PyLong_AsUnsignedLongLong(value.ptr());
        if (!PyErr_Occurred()) {
            return static_cast<std::uint64_t>(unsigned_value);
        }
        PyErr_Clear();
    }
    throw py::type_error("integer beyond 64 bits has no JSON value: " + py::repr(value).cast<std::string>());
}

// Every container of a value counts one level, as the library counts them.
JsonFailure too_deep(std::string_view what) {
    return JsonFailure(fmt::format("{} nested deeper than {} levels", what, detail::max_json_depth));
}

json from_python_at(py::handle value, int depth);

json object_from_python(py::dict const& dict, int depth) {
    json object = json::object();
    for (auto const& [key, member] : dict) {
        if (!py::isinstance<py::str>(key)) {
            throw py::type_error("JSON object keys are strings, not " + py::repr(key).cast<std::string>());
        }
        object[key.cast<std::string>()] = from_python_at(member, depth);
    }
    return object;
}

json array_from_python(py::sequence const& sequence, int depth) {
    json array = json::array();
    for (auto const& element : sequence) {
        array.push_back(from_python_at(element, depth));
    }
    return array;
}

// `value`, found inside `depth` containers.
json from_python_at(py::handle value, int depth) {
    if (value.is_none()) {
        return nullptr;
    }
    if (py::isinstance<py::bool_>(value)) {
        return value.cast<bool>();
    }
    if (py::isinstance<py::int_>(value)) {
        return integer_from_python(value);
    }
    if (py::isinstance<py::float_>(value)) {
        return value.cast<double>();
    }
    if (py::isinstance<py::str>(value)) {
        return value.cast<std::string>();
    }
    bool const is_object = py::isinstance<py::dict>(value);
    if (!is_object && !py::isinstance<py::list>(value) && !py::isinstance<py::tuple>(value)) {
        throw py::type_error("no JSON value for " + py::repr(value).cast<std::string>());
    }
    if (depth >= detail::max_json_depth) {
        throw too_deep("JSON value (or one that contains itself)");
    }
    return is_object ? object_from_python(value.cast<py::dict>(), depth + 1)
                     : array_from_python(value.cast<py::sequence>(), depth + 1);
}

}  // namespace

json from_python(py::handle value) { return from_python_at(value, 0); }

json parse_json(std::string const& text) {
    // The parser calls back at each container's start with the number of
    // containers around it, before it builds anything deeper.
    return json::parse(text, [](int depth, json::parse_event_t event, json const&) {
        bool const starts = event == json::parse_event_t::object_start || event == json::parse_event_t::array_start;
        if (starts && depth >= detail::max_json_depth) {
            throw too_deep("JSON text");
        }
        return true;
    });
}

std::string description_text(py::handle description) {
    if (py::isinstance<py::str>(description)) {
        return description.cast<std::string>();
    }
    return from_python(description).dump();
}

json description_value(py::handle description) {
    if (py::isinstance<py::str>(description)) {
        return parse_json(description.cast<std::string>());
    }
    return from_python(description);
}

}  // namespace zelm::python
