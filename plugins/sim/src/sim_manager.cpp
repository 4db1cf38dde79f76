// The manager of the simulated devices and the plug-in's entry point.
#include "sim_manager.hpp"

#include "sim_device.hpp"

#include "config_location.hpp"

#include <zelm/plugin_capabilities.hpp>

#include <fmt/format.h>

#include <stdexcept>
#include <thread>
#include <utility>

namespace zelm::sim {
namespace {

// The family's name, not the file's location: every copy of the plug-in (a
// build tree, an installed prefix, a copy in a scanned directory) derives
// the same lock identities, so one device cannot be owned through two copies.
constexpr char const* family_path = "zelm-sim";

}  // namespace

SimManager::SimManager() : path_(family_path) {
    try {
        catalog_ = make_catalog(load_config(plugin::own_plugin_file()));
    } catch (std::exception const& error) {
        catalog_ = std::unexpected(std::string(error.what()));
    }
}

SimManager::Catalog SimManager::make_catalog(Config config) {
    Catalog catalog;
    auto listing = nlohmann::json::array();
    for (std::size_t i = 0; i < config.devices.size(); ++i) {
        catalog.by_compact_description.emplace(config.devices[i]->compact_description, i);
        listing.push_back(config.devices[i]->description);
    }
    catalog.listing = listing.dump();
    if (config.open_log) {
        try {
            catalog.open_log.emplace(*config.open_log);
        } catch (std::exception const& error) {
            throw ConfigError(config_error_prefix(config.origin) + "open_log: " + error.what());
        }
    }
    catalog.config = std::move(config);
    return catalog;
}

SimManager::Catalog const& SimManager::catalog() const {
    if (!catalog_) {
        throw std::runtime_error(catalog_.error());
    }
    return *catalog_;
}

std::string SimManager::get_name() {
    return catalog_ ? catalog_->config.name : "sim";
}

std::filesystem::path SimManager::get_path() { return path_; }

std::string SimManager::list_devices() { return catalog().listing; }

std::string SimManager::get_version() { return ZELM_SIM_VERSION; }

bool SimManager::is_lab_wide(std::string_view compact_description) const noexcept {
    if (!catalog_) {
        return false;
    }
    auto const found = catalog_->by_compact_description.find(compact_description);
    return found != catalog_->by_compact_description.end() && catalog_->config.devices[found->second]->lab_wide;
}

std::shared_ptr<DeviceConfig const> const& SimManager::find(std::string const& description) const {
    auto const parsed = nlohmann::json::parse(description, nullptr, false);
    // Compact, so that the message too stays on one line whatever the caller's layout.
    auto const compact = parsed.is_discarded() ? description : parsed.dump();
    auto const& devices = catalog();
    auto const found =
        parsed.is_discarded() ? devices.by_compact_description.end() : devices.by_compact_description.find(compact);
    if (found == devices.by_compact_description.end()) {
        throw std::runtime_error(fmt::format("No simulated device has the description {}", compact));
    }
    return devices.config.devices[found->second];
}

std::unique_ptr<Device> SimManager::open_device(std::string const& description) {
    auto const& device = find(description);
    if (auto const& log = catalog().open_log) {
        log->record(device->compact_description);
    }
    if (device->open_device_latency > Milliseconds::zero()) {
        std::this_thread::sleep_for(std::chrono::duration_cast<std::chrono::nanoseconds>(device->open_device_latency));
    }
    if (device->faults.open_device_error) {
        throw std::runtime_error(*device->faults.open_device_error);
    }
    return std::make_unique<SimDevice>(device);
}

namespace {

int is_lab_wide(DeviceManager* manager, char const* description) noexcept {
    auto const* sim = dynamic_cast<SimManager const*>(manager);
    return sim != nullptr && sim->is_lab_wide(description) ? 1 : 0;
}

}  // namespace
}  // namespace zelm::sim

ZELM_PLUGIN_ENTRY zelm::DeviceManager* create_manager() { return new zelm::sim::SimManager; }

ZELM_PLUGIN_CAPABILITIES{.is_lab_wide = &zelm::sim::is_lab_wide};
