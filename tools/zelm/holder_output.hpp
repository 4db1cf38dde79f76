// A device's holder (the library's DeviceHolder) as the tool's lines and JSON
// show it.
#pragma once

#include <zelm/holder.hpp>

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace zelm::tool {

// " by process 4242 (zelm)" (see holder_text) after "occupied" and the like,
// empty without a holder. The text is as the holder's process and the
// cluster give it: whatever prints the line escapes it (escape.hpp), once.
std::string by_holder(std::optional<DeviceHolder> const& holder);

// {"pid": 4242, "command": "zelm"} (command null when unknown), followed by
// "host" when it is known, or null without a holder.
nlohmann::ordered_json holder_json(std::optional<DeviceHolder> const& holder);

}  // namespace zelm::tool
