// The lock identity from text the caller already has: the scan reports every
// device's compact description, so it serialises the description once and
// derives the identity from that same text.
#pragma once

#include <string>
#include <string_view>

namespace zelm::detail {

// make_lock_id for `compact_description`, the description's compact JSON text.
std::string make_lock_id_from_text(std::string_view manager_path, std::string_view compact_description);

}  // namespace zelm::detail
