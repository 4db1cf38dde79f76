// The two renderings of scan results: a table for people and a JSON array
// for programs.
#pragma once

#include <zelm/scan.hpp>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace zelm::tool {

// # (the row's number, from 1, which "@N" selectors name), STATE, SERIAL,
// API, PLUG-IN (file name), OWNER (an occupied device's holder, see
// holder_text, "unknown" when it cannot be identified) and the description,
// followed for a failed device by its error. "no devices found" when there
// are none.
std::string scan_table(std::vector<ScannedDevice> const& devices);

// One object per result, in order: "state" ("found", "occupied" or "failed")
// followed by the record's members under their library names, and for an
// occupied device "owner" (holder_json: {"pid", "command"} and in a cluster
// "host", or null when unknown). The
// description, info and status are embedded as JSON values rather than as
// the text the library holds (an empty status becomes null); text that does
// not parse stays a string.
nlohmann::ordered_json scan_json(std::vector<ScannedDevice> const& devices);

}  // namespace zelm::tool
