// Opening a managed device, with messages that say which step failed.
#include "device_session.hpp"

#include "device_list.hpp"
#include "device_owner.hpp"
#include "plugin_directory.hpp"

#include <zelm/device_manager.hpp>
#include <zelm/managed_device.hpp>
#include <zelm/owner.hpp>

#include <fmt/format.h>

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <string_view>

namespace zelm::tool {

namespace {

// The texts with which open_managed_device reports that the device's
// ownership lock could not be taken safely, as opposed to a failed open.
constexpr std::string_view no_device = "Device Manager returned no device";
constexpr std::string_view lock_failures[] = {"Lock directory ", "Cannot open device lock file: "};

bool is_lock_failure(std::string_view message) {
    return std::ranges::any_of(lock_failures, [&](std::string_view text) { return message.starts_with(text); });
}

std::string device_name(std::filesystem::path const& plugin, nlohmann::json const& description) {
    return fmt::format("device {} ({})", description.dump(), plugin.filename().native());
}

// The one listed description that the typed one names.
nlohmann::json listed_description(DeviceManager& manager, DeviceTarget const& target) {
    auto const plugin = target.plugin.filename().native();
    auto const listed = explained("cannot list the devices of " + plugin,
                                  [&] { return listed_descriptions(manager.list_devices()); });
    return find_listed(listed, target.description, plugin);
}

}  // namespace

DeviceSession open_managed_device(DeviceTarget const& target) {
    auto const plugin = resolve_plugin(target.plugin);
    auto manager = explained("cannot load plug-in " + plugin.native(), [&] { return get_device_manager(plugin); });
    auto const description = listed_description(*manager, target);
    auto name = device_name(target.plugin, description);
    try {
        auto device = manager->open_managed_device(description.dump());
        return {std::move(name), std::move(device)};
    } catch (DeviceOccupiedError const& e) {
        // People otherwise hunt for the process that holds a device by hand.
        auto const& owner = e.owner();
        throw std::runtime_error(fmt::format("cannot own {}: {}{}", name, e.what(),
                                             owner ? " by process " + owner_text(owner) : std::string()));
    } catch (std::exception const& e) {
        std::string_view const message = e.what();
        if (message.starts_with(no_device)) {
            throw std::runtime_error(fmt::format("cannot open {}: the plug-in returned no device", name));
        }
        throw std::runtime_error(fmt::format("cannot {} {}: {}", is_lock_failure(message) ? "own" : "open", name,
                                             message));
    }
}

}  // namespace zelm::tool
