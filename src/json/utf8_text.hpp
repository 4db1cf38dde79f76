// The library makes text valid UTF-8 with the plug-in support library's rule,
// as its plug-ins do.
#pragma once

#include <zelm/plugin/utf8_text.hpp>

namespace zelm::detail {

using plugin::as_utf8;

}  // namespace zelm::detail
