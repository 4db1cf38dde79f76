// Command-line value parsing and formatting shared by the commands.
#include "arguments.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <optional>

namespace zelm::tool {

std::expected<double, std::string> parse_seconds(std::string_view text, bool zero_allowed) {
    double seconds = 0;
    auto const [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds,
                                              std::chars_format::general);
    if (text.empty() || error == std::errc::invalid_argument || end != text.data() + text.size() ||
        !std::isfinite(seconds)) {
        return std::unexpected("not a number of seconds");
    }
    if (error == std::errc::result_out_of_range || seconds < 0 || seconds > max_seconds) {
        return std::unexpected(fmt::format("the time must be from 0 to {:g} seconds", max_seconds));
    }
    if (!zero_allowed && seconds == 0) {
        return std::unexpected("the time must be positive");
    }
    return seconds;
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
        if (text[i] == '0' && std::tolower(static_cast<unsigned char>(text[i + 1])) == 'x') {
            return std::unexpected("write bytes as hex pairs without 0x: \"de ad\", not \"0xde 0xad\"");
        }
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

std::optional<std::size_t> hold_command_start(std::span<std::string const> arguments, std::size_t hold_at) {
    if (hold_at >= arguments.size()) {
        return std::nullopt;
    }
    auto const separator = std::ranges::find(arguments.subspan(hold_at + 1), "--");
    if (separator == arguments.end()) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(separator - arguments.begin()) + 1;
}

std::optional<std::string> misplaced_command(std::span<std::string const> stray,
                                             std::optional<std::span<std::string const>> command) {
    if (!stray.empty()) {
        return "the command to run goes after \"--\": zelm hold ... -- COMMAND [ARGS...]";
    }
    if (command && command->empty()) {
        return "no command after \"--\"";
    }
    return std::nullopt;
}

std::string one_line(std::string_view text) {
    std::string line(text);
    std::ranges::replace_if(
        line, [](char c) { return std::iscntrl(static_cast<unsigned char>(c)) != 0; }, ' ');
    return line;
}

}  // namespace zelm::tool
