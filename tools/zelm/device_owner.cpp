// Device owners (the library's look-up) as the tool shows them.
#include "device_owner.hpp"

#include "arguments.hpp"

#include <fmt/format.h>

namespace zelm::tool {

std::string owner_text(std::optional<DeviceOwner> const& owner) {
    if (!owner) {
        return "unknown";
    }
    return owner->command ? fmt::format("{} ({})", owner->pid, one_line(*owner->command))
                          : std::to_string(owner->pid);
}

std::string by_owner(std::optional<DeviceOwner> const& owner) {
    return owner ? " by process " + owner_text(owner) : std::string();
}

nlohmann::ordered_json owner_json(std::optional<DeviceOwner> const& owner) {
    if (!owner) {
        return nullptr;
    }
    return {{"pid", owner->pid},
            {"command", owner->command ? nlohmann::ordered_json(*owner->command) : nlohmann::ordered_json(nullptr)}};
}

std::optional<DeviceOwner> owner_from_json(nlohmann::json const& value) {
    if (!value.is_object()) {
        return std::nullopt;
    }
    auto const& command = value.at("command");
    return DeviceOwner{value.at("pid").get<int>(),
                       command.is_string() ? std::optional(command.get<std::string>()) : std::nullopt};
}

}  // namespace zelm::tool
