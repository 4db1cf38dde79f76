#include "config_members.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace zelm::plugin {

using nlohmann::json;

std::string member_path(std::string const& where, std::string_view key) {
    return where.empty() ? std::string(key) : fmt::format("{}.{}", where, key);
}

json const& require_object(json const& value, std::string const& where) {
    if (!value.is_object()) {
        throw ConfigProblem(where, "must be an object");
    }
    return value;
}

void check_members(json const& object, std::string const& where, std::initializer_list<std::string_view> allowed) {
    for (auto const& [key, value] : object.items()) {
        if (std::find(allowed.begin(), allowed.end(), key) == allowed.end()) {
            throw ConfigProblem(where, fmt::format("unknown member \"{}\"", key));
        }
    }
}

std::string read_string(json const& value, std::string const& where) {
    if (!value.is_string()) {
        throw ConfigProblem(where, "must be a string");
    }
    return value.get<std::string>();
}

bool read_bool(json const& value, std::string const& where) {
    if (!value.is_boolean()) {
        throw ConfigProblem(where, "must be true or false");
    }
    return value.get<bool>();
}

std::uint64_t read_count(json const& value, std::string const& where, std::uint64_t max) {
    return read_count_from(value, where, 0, max);
}

std::uint64_t read_count_from(json const& value, std::string const& where, std::uint64_t min, std::uint64_t max) {
    if (!value.is_number_unsigned() || value.get<std::uint64_t>() < min || value.get<std::uint64_t>() > max) {
        throw ConfigProblem(where, fmt::format("must be a whole number from {} to {}", min, max));
    }
    return value.get<std::uint64_t>();
}

double read_number(json const& value, std::string const& where, double max) {
    if (!value.is_number() || !std::isfinite(value.get<double>()) || value.get<double>() < 0 ||
        value.get<double>() > max) {
        throw ConfigProblem(where, fmt::format("must be a number from 0 to {}", max));
    }
    return value.get<double>();
}

}  // namespace zelm::plugin
