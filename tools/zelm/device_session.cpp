// Opening a managed device, with messages that say which step failed.
#include "device_session.hpp"

#include "device_owner.hpp"
#include "plugin_directory.hpp"

#include <zelm/device_manager.hpp>
#include <zelm/lock.hpp>

#include <fmt/format.h>

#include <exception>
#include <stdexcept>

namespace zelm::tool {

namespace {

// Names the holder when it can be identified: people otherwise hunt for the
// process that holds a device by hand.
void ensure_free(DeviceManager& manager, nlohmann::json const& description) {
    auto const lock_id = detail::make_lock_id(manager.get_path(), description);
    if (detail::is_device_occupied(lock_id)) {
        auto const owner = find_owner(lock_id);
        throw std::runtime_error(owner ? "Device is already occupied by process " + owner_text(owner)
                                       : std::string("Device is already occupied"));
    }
}

}  // namespace

std::string device_name(DeviceTarget const& target) {
    return fmt::format("device {} ({})", target.description.dump(), target.plugin.filename().native());
}

std::unique_ptr<Device> open_managed_device(DeviceTarget const& target) {
    auto const plugin = resolve_plugin(target.plugin);
    auto const description = target.description.dump();
    auto manager = explained("cannot load plug-in " + plugin.native(), [&] { return get_device_manager(plugin); });
    // Checked before opening as well: a device that someone else owns may
    // fail to open with a less helpful error of its own.
    explained("cannot own " + device_name(target), [&] { ensure_free(*manager, target.description); });
    auto device = explained("cannot open " + device_name(target), [&] { return manager->open_device(description); });
    if (!device) {
        throw std::runtime_error(fmt::format("cannot open {}: the plug-in returned no device", device_name(target)));
    }
    return explained("cannot own " + device_name(target),
                     [&] { return manager->manage_device(std::move(device), description); });
}

}  // namespace zelm::tool
