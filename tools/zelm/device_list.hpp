// A plug-in's device list as the tool reads it: the descriptions it lists,
// and which of them a description typed by a person names.
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

// The listed description that `typed` names. A device is owned under the
// compact text of its listed description, so the typed one must come back to
// exactly that text: the listed description with the same compact text
// (member order and spacing never matter), else the one listed description
// equal to it as a JSON value ({"serial":7.0} for a listed {"serial":7}).
// Throws UsageError naming the typed description when no listed description
// matches, or when several match by value only. `plugin` names the plug-in
// in those messages.
nlohmann::json const& find_listed(std::vector<nlohmann::json> const& listed, nlohmann::json const& typed,
                                  std::string const& plugin);

}  // namespace zelm::tool
