// Reading device lists.
#include "device_list.hpp"

namespace zelm::tool {

std::vector<nlohmann::json> listed_descriptions(std::string const& list) {
    auto devices = nlohmann::json::parse(list);
    if (devices.is_null()) {
        return {};
    }
    if (!devices.is_array() && !devices.is_object()) {
        return {std::move(devices)};
    }
    std::vector<nlohmann::json> descriptions;
    for (auto& description : devices) {
        descriptions.push_back(std::move(description));
    }
    return descriptions;
}

}  // namespace zelm::tool
