// Parsing JSON text that comes from outside the library (plug-ins, devices,
// hosts, cache files) with a bound on its nesting. The parser itself copes
// with any depth, but serialising, comparing or copying a value recurses once
// per level, so a text nested deeply enough would exhaust the stack later,
// far from where it came in.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <string_view>

namespace zelm::detail {

// The deepest nesting kept from outside text; real texts nest a few levels.
inline constexpr int max_json_depth = 128;

// The JSON library's own tree builder, stopped as soon as a container would
// open deeper than `max_depth`: the bound costs a counter, not a second pass
// over the text. (The library's parser callback could do the same, but it
// walks a container's elements again each time one of them ends: quadratic
// in a long device list.) Errors make the parse return false, never throw.
class BoundedTreeBuilder : public nlohmann::detail::json_sax_dom_parser<nlohmann::json> {
public:
    BoundedTreeBuilder(nlohmann::json& result, int max_depth)
        : json_sax_dom_parser(result, false), max_depth_(max_depth) {}

    bool start_object(std::size_t size) { return enter() && json_sax_dom_parser::start_object(size); }
    bool start_array(std::size_t size) { return enter() && json_sax_dom_parser::start_array(size); }
    bool end_object() { return leave() && json_sax_dom_parser::end_object(); }
    bool end_array() { return leave() && json_sax_dom_parser::end_array(); }

private:
    bool enter() { return ++depth_ <= max_depth_; }
    bool leave() {
        --depth_;
        return true;
    }

    int max_depth_;
    int depth_ = 0;
};

// The value of `text` when it is JSON nested at most `max_depth` levels (a
// scalar nests 0 levels, "[]" one); nothing when it is not JSON, holds a
// number beyond the range of a double, or nests deeper. Throws std::bad_alloc.
inline std::optional<nlohmann::json> parse_bounded(std::string_view text, int max_depth = max_json_depth) {
    nlohmann::json value;
    BoundedTreeBuilder builder(value, max_depth);
    if (!nlohmann::json::sax_parse(text, &builder) || builder.is_errored()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace zelm::detail
