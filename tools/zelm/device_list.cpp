// Reading device lists and finding a typed description in them.
#include "device_list.hpp"

#include "commands.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <iterator>

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

nlohmann::json const& find_listed(std::vector<nlohmann::json> const& listed, nlohmann::json const& typed,
                                  std::string const& plugin) {
    auto const compact = typed.dump();
    auto const same_text =
        std::ranges::find_if(listed, [&](auto const& listed_one) { return listed_one.dump() == compact; });
    if (same_text != listed.end()) {
        return *same_text;
    }
    std::vector<nlohmann::json const*> same_value;
    for (auto const& listed_one : listed) {
        if (listed_one == typed) {
            same_value.push_back(&listed_one);
        }
    }
    if (same_value.size() == 1) {
        return *same_value.front();
    }
    if (same_value.empty()) {
        throw UsageError(fmt::format("no device listed by {} matches the description {}", plugin, compact));
    }
    std::vector<std::string> texts;
    std::ranges::transform(same_value, std::back_inserter(texts), [](auto const* one) { return one->dump(); });
    throw UsageError(fmt::format("the description {} matches {} devices listed by {}: {}; give one of them exactly",
                                 compact, same_value.size(), plugin, fmt::join(texts, ", ")));
}

}  // namespace zelm::tool
