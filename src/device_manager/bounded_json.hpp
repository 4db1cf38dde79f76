// Parsing JSON text that comes from outside the library (plug-ins, devices,
// hosts, cache files) with a bound on its nesting. The parser itself copes
// with any depth, but serialising, comparing or copying a value recurses once
// per level, so a text nested deeply enough would exhaust the stack later,
// far from where it came in.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace zelm::detail {

// The deepest nesting kept from outside text; real texts nest a few levels.
inline constexpr int max_json_depth = 128;

// Whether `text` opens more than `max_depth` containers at once: its brackets
// outside strings, counted in one pass. For JSON text this is exactly its
// nesting; text that is not JSON fails to parse whatever this says. (A parser
// callback would do the same, but nlohmann's callback parser walks a
// container's elements again each time one of them ends: quadratic in a long
// device list.)
inline bool nests_deeper_than(std::string_view text, int max_depth) {
    int depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (char const c : text) {
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > max_depth) {
                return true;
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

// The value of `text` when it is JSON nested at most `max_depth` levels (a
// scalar nests 0 levels, "[]" one); nothing when it is not JSON, holds a
// number beyond the range of a double, or nests deeper. Throws std::bad_alloc.
inline std::optional<nlohmann::json> parse_bounded(std::string const& text, int max_depth = max_json_depth) {
    if (nests_deeper_than(text, max_depth)) {
        return std::nullopt;
    }
    try {
        return nlohmann::json::parse(text);
    } catch (nlohmann::json::exception const&) {
        return std::nullopt;
    }
}

}  // namespace zelm::detail
