// The lock identity from what the caller already has: the scan reports every
// device's compact description, so it serialises the description once and
// derives the identity from that same text; owners start from a description
// text that a host passed in.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace zelm::detail {

// What every lock identity starts with; the hash's hexadecimal digits follow.
inline constexpr std::string_view lock_id_prefix = "device_";

// Whether `text` has the form of a lock identity that make_lock_id gives:
// the prefix and 1 to 16 lower-case hexadecimal digits without leading zeros.
bool is_lock_id(std::string_view text);

// make_lock_id for `compact_description`, the description's compact JSON text.
std::string make_lock_id_from_text(std::string_view manager_path, std::string_view compact_description);

// The value of a description text that a host passed in. Whatever cannot name
// a lock throws nlohmann::json::parse_error: text that is not JSON (the empty
// text included), a number beyond the range of a double, and nesting too deep
// to serialise safely.
nlohmann::json parse_description(std::string const& description);

}  // namespace zelm::detail
