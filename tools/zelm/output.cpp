// Writing the commands' results to standard output.
#include "output.hpp"

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <system_error>

namespace zelm::tool {

void print_stdout(std::string_view text) {
    bool const written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    if (std::fflush(stdout) == 0 && written) {
        return;
    }
    int const error = errno;
    std::clearerr(stdout);
    if (error != EPIPE) {
        throw std::system_error(error, std::generic_category(), "cannot write output");
    }
}

std::string json_text(nlohmann::ordered_json const& value) {
    return value.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string readable_json(std::string const& text) {
    auto const value = nlohmann::ordered_json::parse(text, nullptr, false);
    return value.is_discarded() ? text + "\n" : json_text(value);
}

}  // namespace zelm::tool
