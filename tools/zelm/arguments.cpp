// Command-line value parsing and formatting shared by the commands.
#include "arguments.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cmath>

namespace zelm::tool {

nlohmann::json parse_json_within(std::string_view text, int max_depth) {
    // The parser reports the depth of the container being opened, counting
    // from 0 for the outermost one.
    auto const bounded = [max_depth](int depth, nlohmann::json::parse_event_t event, nlohmann::json const&) {
        bool const opens = event == nlohmann::json::parse_event_t::object_start ||
                           event == nlohmann::json::parse_event_t::array_start;
        if (opens && depth >= max_depth) {
            throw JsonTooDeep{};
        }
        return true;
    };
    return nlohmann::json::parse(text, bounded);
}

std::expected<nlohmann::json, std::string> parse_description(std::string_view text) {
    try {
        return parse_json_within(text, max_description_depth);
    } catch (nlohmann::json::parse_error const& e) {
        return std::unexpected(fmt::format("not a JSON device description: {}", e.what()));
    } catch (JsonTooDeep const&) {
        return std::unexpected(
            fmt::format("device description nested deeper than {} levels", max_description_depth));
    }
}

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

std::optional<std::string> misplaced_command(std::span<std::string const> arguments,
                                             std::span<std::string const> command) {
    auto const separator = std::ranges::find(arguments, "--");
    bool const separated = separator != arguments.end();
    if (separated && std::next(separator) == arguments.end()) {
        return "no command after \"--\"";
    }
    if (command.empty() ||
        (separated && std::ranges::equal(std::next(separator), arguments.end(), command.begin(), command.end()))) {
        return std::nullopt;
    }
    return "the command to run goes after \"--\": zelm hold ... -- COMMAND [ARGS...]";
}

std::string one_line(std::string_view text) {
    std::string line(text);
    std::ranges::replace_if(
        line, [](char c) { return std::iscntrl(static_cast<unsigned char>(c)) != 0; }, ' ');
    return line;
}

}  // namespace zelm::tool
