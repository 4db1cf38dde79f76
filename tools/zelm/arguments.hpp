// Parsing and formatting of the values people type on the command line:
// numbers (decimal or 0x-hexadecimal), times in seconds, byte strings
// (hexadecimal) and hold's command; device selectors are selector.hpp's.
#pragma once

#include <charconv>
#include <concepts>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zelm::tool {

// Decimal, or hexadecimal after "0x"/"0X". A leading zero means nothing
// special: "010" is ten, unlike strtoul's octal.
template <std::unsigned_integral Number>
std::expected<Number, std::string> parse_number(std::string_view text) {
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        base = 16;
    }
    Number value{};
    auto const [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error == std::errc::result_out_of_range) {
        return std::unexpected("number out of range");
    }
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::unexpected("not a number (decimal or 0x-hexadecimal)");
    }
    return value;
}

// The longest time the tool waits for: about 31 years, far from the ends of
// the clocks (whose nanosecond counts end near 292 years), so that a deadline
// of now plus this never overflows.
inline constexpr double max_seconds = 1e9;

// A time in seconds, as --for and --timeout take it: a finite decimal number
// ("2", "0.5", "1e3") from 0 (or just above, when `zero_allowed` is false) to
// max_seconds.
std::expected<double, std::string> parse_seconds(std::string_view text, bool zero_allowed);

// Pairs of hexadecimal digits; white space, ':' and '-' between bytes are
// ignored, so the output of format_hex_bytes reads back.
std::expected<std::vector<unsigned char>, std::string> parse_hex_bytes(std::string_view text);

// Lower-case hexadecimal bytes separated by spaces, `per_line` to a line,
// each line ended by a newline; nothing for no bytes.
std::string format_hex_bytes(std::span<unsigned char const> bytes, std::size_t per_line = 16);

// Where the command that `hold` runs starts in `arguments` (argv without the
// program's name), whose word at `hold_at` names the hold command: after the
// first "--" that follows it. Every word from there on is the command's,
// never one of the tool's arguments or options, whatever it looks like (a
// path such as /bin/echo would otherwise pass for hold's PLUGIN). None
// without such a "--".
std::optional<std::size_t> hold_command_start(std::span<std::string const> arguments, std::size_t hold_at);

// The usage error of `hold`'s command words, if any: `stray` are words that
// the command line took for the command although they came before "--",
// `command` the words after "--", when there was one; a "--" that ends the
// arguments names no command.
std::optional<std::string> misplaced_command(std::span<std::string const> stray,
                                             std::optional<std::span<std::string const>> command);

// `text` with every line break and other control character turned into a
// space, so that a message from a plug-in stays on one line.
std::string one_line(std::string_view text);

}  // namespace zelm::tool
