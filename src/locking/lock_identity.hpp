// The lock identity from what the caller already has: the scan reports every
// device's compact description, so it serialises the description once and
// derives the identity from that same text; owners start from a description
// text that a host passed in.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace zelm::detail {

// make_lock_id for `compact_description`, the description's compact JSON text.
std::string make_lock_id_from_text(std::string_view manager_path, std::string_view compact_description);

// The value of a description text that a host passed in. Whatever cannot name
// a lock throws nlohmann::json::parse_error: text that is not JSON (the empty
// text included), a number beyond the range of a double, and nesting too deep
// to serialise safely.
nlohmann::json parse_description(std::string const& description);

}  // namespace zelm::detail
