// The library reads JSON from outside with the plug-in support library's
// bounded parser: one rule for the library and its plug-ins.
#pragma once

#include <zelm/plugin/bounded_json.hpp>

namespace zelm::detail {

using plugin::JsonBounds;
using plugin::parse_bounded;

}  // namespace zelm::detail
