// Text that must go into JSON (an error text, a process name) as valid UTF-8.
#pragma once

#include <string>

namespace zelm::detail {

// `text` with each byte that is not part of valid UTF-8 replaced by U+FFFD,
// as the JSON library's serialiser replaces it; valid text comes back as it
// is. Throws std::bad_alloc.
std::string as_utf8(std::string const& text);

}  // namespace zelm::detail
