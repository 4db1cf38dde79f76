// Typed JSON: checked in one pass without building anything, then built.
#include "host/typed_json.hpp"

#include <fmt/format.h>

#include <optional>

namespace zelm::detail {

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

std::expected<nlohmann::json, JsonRefusal> parse_typed_json(std::string_view text, int max_depth) {
    JsonChecker checker(max_depth);
    if (!Json::sax_parse(text, &checker)) {
        return std::unexpected(checker.refusal().value_or(JsonRefusal{JsonRefusal::Kind::not_json, "not JSON"}));
    }
    return Json::parse(text);
}

}  // namespace zelm::detail
