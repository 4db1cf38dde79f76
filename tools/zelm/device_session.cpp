// Opening a managed device, with messages that say which step failed.
#include "device_session.hpp"

#include "plugin_directory.hpp"

#include <zelm/device_manager.hpp>
#include <zelm/lock.hpp>

#include <fmt/format.h>

#include <exception>
#include <stdexcept>

namespace zelm::tool {

namespace {

void ensure_free(DeviceManager& manager, nlohmann::json const& description) {
    if (detail::is_device_occupied(detail::make_lock_id(manager.get_path(), description))) {
        throw std::runtime_error("Device is already occupied");
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
