// Messages in the library's reports are one line each, whatever plug-in code
// put into them.
#pragma once

#include <algorithm>
#include <string>

namespace zelm::detail {

// `text` with every line break and other control character turned into a
// space. Throws std::bad_alloc only.
inline std::string one_line(std::string text) {
    std::ranges::replace_if(
        text, [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }, ' ');
    return text;
}

}  // namespace zelm::detail
