// JSON as people type it: what they write must be what is matched, so a
// number that JSON values cannot hold as written is refused, not rounded.
#pragma once

#include <nlohmann/json.hpp>

#include <expected>
#include <string>
#include <string_view>

namespace zelm::detail {

// Why parse_typed_json refused a text.
struct JsonRefusal {
    enum class Kind {
        not_json,             // not one JSON value
        too_deep,             // nested deeper than the bound
        number_out_of_range,  // a number that no JSON value holds as written
    };
    Kind kind;
    // One line: the parser's message for not_json, else what was refused,
    // for example "the number 1e400 is beyond the range of a double".
    std::string message;
};

// `text` parsed as JSON, refusing containers nested more than `max_depth`
// levels (a scalar nests none, "[]" one) before building them, so that a
// hostile text cannot exhaust the stack, and refusing every number that
// would be read as another: beyond the range of a double (1e400, -1e400),
// too small to tell from 0 (1e-400), or an integer written without fraction
// or exponent that does not fit in 64 bits (18446744073709551616, which
// would become the double 1.8446744073709552e19). -0 is JSON's 0, and -0.0
// equals 0 as a value: both are kept. Throws std::bad_alloc only.
std::expected<nlohmann::json, JsonRefusal> parse_typed_json(std::string_view text, int max_depth);

}  // namespace zelm::detail
