// Standard output of the commands: written whole and flushed at once, so that
// a script reading a pipe sees each answer as soon as the tool has it.
#pragma once

#include <cstdio>
#include <string_view>

namespace zelm::tool {

inline void print_stdout(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace zelm::tool
