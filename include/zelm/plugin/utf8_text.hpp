// Text that must go into JSON (a device's answer, an error text, a process
// name) as valid UTF-8: the JSON library refuses to serialise anything else.
//
// Part of the plug-in support library (CMake: dizazuz_oruzoz::zelm_plugin_support,
// pkg-config: zelm_plugin_support).
#pragma once

#include <string>

namespace zelm::plugin {

// `text` with each byte that is not part of valid UTF-8 replaced by U+FFFD,
// as the JSON library's serialiser replaces it; valid text comes back as it
// is. Throws std::bad_alloc only.
std::string as_utf8(std::string const& text);

}  // namespace zelm::plugin
