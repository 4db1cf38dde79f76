// Device owners (the library's look-ups) as the tool shows them.
#include "device_owner.hpp"

#include <fmt/format.h>

namespace zelm::tool {

namespace {

std::optional<std::string> this_host() {
    auto id = cluster::host_id();
    return id.empty() ? std::nullopt : std::optional(std::move(id));
}

}  // namespace

DeviceOwner local_holder(zelm::DeviceOwner const& owner) { return {owner.pid, owner.command, this_host()}; }

std::optional<DeviceOwner> local_holder(std::optional<zelm::DeviceOwner> const& owner) {
    return owner ? std::optional(local_holder(*owner)) : std::nullopt;
}

DeviceOwner lab_holder(cluster::Owner const& owner) {
    auto const known = [](std::string const& text) { return text.empty() ? std::nullopt : std::optional(text); };
    return {owner.pid, known(owner.command), known(owner.host)};
}

std::string owner_text(std::optional<DeviceOwner> const& owner) {
    if (!owner) {
        return "unknown";
    }
    auto text = owner->command ? fmt::format("{} ({})", owner->pid, *owner->command) : std::to_string(owner->pid);
    return owner->host ? fmt::format("{} on {}", text, *owner->host) : text;
}

std::string by_owner(std::optional<DeviceOwner> const& owner) {
    return owner ? " by process " + owner_text(owner) : std::string();
}

nlohmann::ordered_json owner_json(std::optional<DeviceOwner> const& owner) {
    if (!owner) {
        return nullptr;
    }
    nlohmann::ordered_json object = {
        {"pid", owner->pid},
        {"command", owner->command ? nlohmann::ordered_json(*owner->command) : nlohmann::ordered_json(nullptr)}};
    if (owner->host) {
        object["host"] = *owner->host;
    }
    return object;
}

std::optional<DeviceOwner> owner_from_json(nlohmann::json const& value) {
    if (!value.is_object()) {
        return std::nullopt;
    }
    auto const& command = value.at("command");
    auto const host = value.find("host");
    return DeviceOwner{value.at("pid").get<int>(),
                       command.is_string() ? std::optional(command.get<std::string>()) : std::nullopt,
                       host != value.end() ? std::optional(host->get<std::string>()) : std::nullopt};
}

}  // namespace zelm::tool
