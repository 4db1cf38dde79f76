// A plug-in's device list as the tool reads it: the descriptions it lists.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace zelm::tool {

// The descriptions in `list`, a manager's list_devices text, taken as the
// library's scan takes them: array elements in order, object member values in
// key order, none for null, otherwise the one value.
// Throws nlohmann::json::parse_error when `list` is not JSON.
std::vector<nlohmann::json> listed_descriptions(std::string const& list);

}  // namespace zelm::tool
