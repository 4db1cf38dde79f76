// Visible escapes for untrusted text in the tool's tables.
#include "escape.hpp"

#include <fmt/format.h>

#include <cstddef>
#include <optional>

namespace zelm::tool {

namespace {

struct CodePoint {
    char32_t value;
    std::size_t length;  // bytes it takes in the text
};

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The UTF-8 sequence at the start of `text`, when it is a valid one: the
// shortest form of a code point that is not a surrogate and not beyond
// U+10FFFF.
std::optional<CodePoint> decode(std::string_view text) {
    auto const lead = static_cast<unsigned char>(text[0]);
    std::size_t length = 0;
    char32_t value = 0;
    char32_t smallest = 0;
    if (lead < 0x80) {
        return CodePoint{lead, 1};
    }
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, smallest = 0x10000;
    } else {
        return std::nullopt;
    }
    if (text.size() < length) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        auto const byte = static_cast<unsigned char>(text[i]);
        if (!is_continuation(byte)) {
            return std::nullopt;
        }
        value = (value << 6) | (byte & 0x3F);
    }
    if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return std::nullopt;
    }
    return CodePoint{value, length};
}

bool is_bidi_control(char32_t c) {
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

void append_escaped(std::string& out, char32_t c, std::string_view original) {
    switch (c) {
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    case '\\': out += "\\\\"; return;
    default: break;
    }
    if (c < 0x20 || c == 0x7F) {
        out += fmt::format("\\x{:02x}", static_cast<unsigned>(c));
    } else if ((c >= 0x80 && c <= 0x9F) || is_bidi_control(c)) {
        out += fmt::format("\\u{{{:x}}}", static_cast<unsigned>(c));
    } else {
        out += original;
    }
}

}  // namespace

std::string escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        if (auto const code_point = decode(text)) {
            append_escaped(out, code_point->value, text.substr(0, code_point->length));
            text.remove_prefix(code_point->length);
        } else {
            out += fmt::format("\\x{:02x}", static_cast<unsigned char>(text[0]));
            text.remove_prefix(1);
        }
    }
    return out;
}

}  // namespace zelm::tool
