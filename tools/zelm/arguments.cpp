// Command-line value parsing and formatting shared by the commands.
#include "arguments.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>

namespace zelm::tool {

std::expected<nlohmann::json, std::string> parse_description(std::string_view text) {
    try {
        return nlohmann::json::parse(text);
    } catch (nlohmann::json::parse_error const& e) {
        return std::unexpected(fmt::format("not a JSON device description: {}", e.what()));
    }
}

namespace {

bool is_separator(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '-'; }

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    auto const lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower >= 'a' && lower <= 'f') {
        return lower - 'a' + 10;
    }
    return -1;
}

}  // namespace

std::expected<std::vector<unsigned char>, std::string> parse_hex_bytes(std::string_view text) {
    std::vector<unsigned char> bytes;
    std::size_t i = 0;
    while (i < text.size()) {
        if (is_separator(text[i])) {
            ++i;
            continue;
        }
        if (i + 1 >= text.size()) {
            return std::unexpected(fmt::format("odd number of hex digits in \"{}\"", text));
        }
        int const high = hex_digit(text[i]);
        int const low = hex_digit(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::unexpected(fmt::format("not a hex byte: \"{}\"", text.substr(i, 2)));
        }
        bytes.push_back(static_cast<unsigned char>(high * 16 + low));
        i += 2;
    }
    return bytes;
}

std::string format_hex_bytes(std::span<unsigned char const> bytes, std::size_t per_line) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bool const line_end = (i + 1) % per_line == 0 || i + 1 == bytes.size();
        text += fmt::format("{:02x}{}", bytes[i], line_end ? '\n' : ' ');
    }
    return text;
}

std::string one_line(std::string_view text) {
    std::string line(text);
    std::ranges::replace_if(
        line, [](char c) { return std::iscntrl(static_cast<unsigned char>(c)) != 0; }, ' ');
    return line;
}

}  // namespace zelm::tool
