// Reading a bundled plug-in's JSON configuration member by member, so that
// every error names the member it is about ("buses[1].timeout_ms: must be a
// whole number from 1 to 60000") and a misspelt member is an error rather
// than silently ignored.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zelm::plugin {

// A problem at a place in the document. The caller adds the file's name.
class ConfigProblem : public std::runtime_error {
public:
    ConfigProblem(std::string const& where, std::string const& what) : std::runtime_error(where + ": " + what) {}
};

// "where.key", or "key" at the top level (empty `where`).
std::string member_path(std::string const& where, std::string_view key);

// Each of these throws ConfigProblem naming `where` when `value` is not what
// it asks for.
nlohmann::json const& require_object(nlohmann::json const& value, std::string const& where);
void check_members(nlohmann::json const& object, std::string const& where,
                   std::initializer_list<std::string_view> allowed);
std::string read_string(nlohmann::json const& value, std::string const& where);
bool read_bool(nlohmann::json const& value, std::string const& where);
std::uint64_t read_count(nlohmann::json const& value, std::string const& where, std::uint64_t max);
// A whole number from `min` to `max`.
std::uint64_t read_count_from(nlohmann::json const& value, std::string const& where, std::uint64_t min,
                              std::uint64_t max);
// A finite number from 0 to `max`.
double read_number(nlohmann::json const& value, std::string const& where, double max);

// Calls read(value, path) when `object` has member `key`.
template <typename Read>
void with_member(nlohmann::json const& object, char const* key, std::string const& where, Read&& read) {
    if (auto const found = object.find(key); found != object.end()) {
        read(*found, member_path(where, key));
    }
}

// Parses `text` as one JSON document and returns what `read` makes of it.
// Every failure (not JSON, a ConfigProblem, a JSON type error) becomes an
// `Error` whose message is `error_prefix` followed by the problem.
template <typename Error, typename Read>
auto read_config_document(std::string_view text, std::string const& error_prefix, Read&& read) {
    try {
        return read(nlohmann::json::parse(text));
    } catch (nlohmann::json::parse_error const& error) {
        throw Error(error_prefix + "not JSON: " + error.what());
    } catch (ConfigProblem const& problem) {
        throw Error(error_prefix + problem.what());
    } catch (nlohmann::json::exception const& error) {
        throw Error(error_prefix + error.what());
    }
}

}  // namespace zelm::plugin
