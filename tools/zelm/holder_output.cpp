// Holders as the tool shows them.
#include "holder_output.hpp"

namespace zelm::tool {

std::string by_holder(std::optional<DeviceHolder> const& holder) {
    return holder ? " by process " + holder_text(holder) : std::string();
}

nlohmann::ordered_json holder_json(std::optional<DeviceHolder> const& holder) {
    if (!holder) {
        return nullptr;
    }
    nlohmann::ordered_json object = {
        {"pid", holder->pid},
        {"command", holder->command ? nlohmann::ordered_json(*holder->command) : nlohmann::ordered_json(nullptr)}};
    if (holder->host) {
        object["host"] = *holder->host;
    }
    return object;
}

}  // namespace zelm::tool
