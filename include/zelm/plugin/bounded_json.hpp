// Reading JSON text that comes from outside (a host, a file, a device) within
// bounds, as the library reads what plug-ins hand it. The parser itself copes
// with any depth and size, but serialising, comparing or copying a value
// recurses once per level, so a text nested deeply enough would exhaust the
// stack later, far from where it came in; and a small text of many tiny
// values (say "[[],[],...]") costs many times its size once parsed.
//
// Part of the plug-in support library (CMake: dizazuz_oruzoz::zelm_plugin_support,
// pkg-config: zelm_plugin_support).
#pragma once

#include <zelm/device_manager.hpp>

#include <nlohmann/json.hpp>

#include <cstddef>
#include <limits>
#include <optional>
#include <string_view>

namespace zelm::plugin {

struct JsonBounds {
    int max_depth = detail::max_json_depth;  // a scalar nests 0 levels, "[]" one
    std::size_t max_values = std::numeric_limits<std::size_t>::max();  // every value, containers included
};

// The value of `text` when it is one JSON value within `bounds`; nothing when
// it is not JSON, holds a number beyond the range of a double, nests deeper
// or holds more values. The bounds cost a counter each, checked as the value
// is built: no second pass over the text. Throws std::bad_alloc only.
std::optional<nlohmann::json> parse_bounded(std::string_view text, JsonBounds bounds = {});

}  // namespace zelm::plugin
