// Command-line value parsing and formatting shared by the commands.
#include "arguments.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <optional>

namespace zelm::tool {

namespace {

using Json = nlohmann::json;

bool is_integer_literal(std::string_view literal) { return literal.find_first_of(".eE") == std::string_view::npos; }

// A literal whose digits before any exponent are not all zero.
bool is_nonzero_literal(std::string_view literal) {
    auto const mantissa = literal.substr(0, literal.find_first_of("eE"));
    return mantissa.find_first_of("123456789") != std::string_view::npos;
}

// The parser reads an integer beyond 64 bits as a double, and a number
// beyond a double's range as 0 or (reported as an error) infinity.
std::optional<std::string> unreadable_number(double value, std::string_view literal) {
    if (is_integer_literal(literal)) {
        return fmt::format("the integer {} does not fit in 64 bits", literal);
    }
    if (value == 0 && is_nonzero_literal(literal)) {
        return fmt::format("the number {} is too small to tell from 0", literal);
    }
    return std::nullopt;
}

// Reads the text once without building anything and stops at the first
// thing refused, so that only an acceptable text is built.
class JsonChecker final : public nlohmann::json_sax<Json> {
public:
    explicit JsonChecker(int max_depth) : max_depth_(max_depth) {}

    std::optional<JsonRefusal> const& refusal() const { return refusal_; }

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t value, string_t const& literal) override {
        if (auto reason = unreadable_number(value, literal)) {
            return refuse(JsonRefusal::Kind::number_out_of_range, std::move(*reason));
        }
        return true;
    }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return open(); }
    bool key(string_t&) override { return true; }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, std::string const& token, nlohmann::detail::exception const& error) override {
        // The parser's only range error in text is a number beyond a
        // double's range.
        if (dynamic_cast<Json::out_of_range const*>(&error) != nullptr) {
            return refuse(JsonRefusal::Kind::number_out_of_range,
                          fmt::format("the number {} is beyond the range of a double", token));
        }
        return refuse(JsonRefusal::Kind::not_json, error.what());
    }

private:
    bool open() {
        if (++depth_ > max_depth_) {
            return refuse(JsonRefusal::Kind::too_deep, fmt::format("nested deeper than {} levels", max_depth_));
        }
        return true;
    }
    bool close() {
        --depth_;
        return true;
    }
    bool refuse(JsonRefusal::Kind kind, std::string message) {
        refusal_ = JsonRefusal{kind, std::move(message)};
        return false;
    }

    int const max_depth_;
    int depth_ = 0;
    std::optional<JsonRefusal> refusal_;
};

}  // namespace

std::expected<nlohmann::json, JsonRefusal> parse_json_within(std::string_view text, int max_depth) {
    JsonChecker checker(max_depth);
    if (!Json::sax_parse(text, &checker)) {
        return std::unexpected(checker.refusal().value_or(JsonRefusal{JsonRefusal::Kind::not_json, "not JSON"}));
    }
    return Json::parse(text);
}

std::expected<nlohmann::json, std::string> parse_description(std::string_view text) {
    auto description = parse_json_within(text, max_description_depth);
    if (description) {
        return std::move(*description);
    }
    switch (description.error().kind) {
    case JsonRefusal::Kind::not_json:
        return std::unexpected("not a JSON device description: " + description.error().message);
    case JsonRefusal::Kind::too_deep:
        return std::unexpected("device description " + description.error().message);
    case JsonRefusal::Kind::number_out_of_range:
        break;
    }
    return std::unexpected("device description: " + description.error().message);
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
