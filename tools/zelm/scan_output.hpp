// The two renderings of scan results: a table for people and a JSON array
// for programs.
#pragma once

#include <zelm/scan.hpp>

#include <nlohmann/json.hpp>

#include <string>

namespace zelm::tool {

// STATE, SERIAL, API, PLUG-IN (file name), and the description, followed for
// a failed device by its error. "no devices found" when there are none.
std::string scan_table(ScanResults const& results);

// One object per result, in order: "state" ("found", "occupied" or "failed")
// followed by the record's members under their library names. The
// description, info and status are embedded as JSON values rather than as
// the text the library holds (an empty status becomes null); text that does
// not parse stays a string.
nlohmann::ordered_json scan_json(ScanResults const& results);

}  // namespace zelm::tool
