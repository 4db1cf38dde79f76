// scan_devices: every device of every plug-in, as found, occupied or failed.
// A plug-in that fails costs its own (remaining) devices and one warning; a
// device whose query fails costs one failed result.
#include <zelm/lock.hpp>
#include <zelm/scan.hpp>

#include "device_scanner/query_cache.hpp"
#include "device_scanner/scan_results.hpp"

#include <spdlog/spdlog.h>

namespace zelm {
namespace {

// The manager's device list; nothing when the call throws anything or its
// text is not one JSON value. Either way the plug-in is skipped silently.
nlohmann::json list_devices(DeviceManager& manager) {
    try {
        return nlohmann::json::parse(manager.list_devices());
    } catch (...) {
        return nullptr;
    }
}

ScanResult scan_device(std::filesystem::path const& plugin_path, std::shared_ptr<DeviceManager> const& manager,
                       nlohmann::json const& device) {
    auto const lock_id = detail::make_lock_id(manager->get_path(), device);
    auto description = device.dump();
    if (detail::is_device_occupied(lock_id)) {
        return DeviceOccupied{plugin_path.native(), std::move(description)};
    }
    auto const outcome = detail::query_device_cached(manager, device, lock_id);
    return detail::make_scan_result(plugin_path.native(), std::move(description), outcome);
}

void scan_plugin(std::filesystem::path const& plugin_path, ScanResults& results) {
    // Declared outside the try block so that the plug-in stays loaded until
    // the exception, whose type and message may be the plug-in's, is gone.
    std::shared_ptr<DeviceManager> manager;
    try {
        manager = get_device_manager(plugin_path);
        // An array gives its elements, an object its member values in key
        // order, null nothing, any other value itself.
        for (auto const& device : list_devices(*manager)) {
            results.push_back(scan_device(plugin_path, manager, device));
        }
    } catch (std::exception const& e) {
        spdlog::warn("Scanner skipped manager {}: {}", plugin_path.native(), e.what());
    }
}

}  // namespace

ScanResults scan_devices(std::vector<std::filesystem::path> const& plugin_paths) {
    ScanResults results;
    for (auto const& plugin_path : plugin_paths) {
        scan_plugin(plugin_path, results);
    }
    return results;
}

}  // namespace zelm
