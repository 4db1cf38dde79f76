// The manager of the Modbus family and the plug-in's entry point.
#include "modbus_manager.hpp"

#include "device_description.hpp"
#include "modbus_device.hpp"

#include "config_location.hpp"

#include <zelm/owner.hpp>

#include <fmt/format.h>

#include <stdexcept>

namespace zelm::modbus {
namespace {

// The family's name, not the file's location: every copy of the plug-in
// derives the same lock identities, so one unit cannot be owned through two
// copies.
constexpr char const* family_path = "zelm-modbus";
constexpr char const* family_name = "Modbus";

}  // namespace

ModbusManager::ModbusManager() : path_(family_path) {
    try {
        auto const plugin_file = plugin::own_plugin_file();
        auto config = load_config(plugin_file);
        if (config) {
            catalog_ = make_catalog(std::move(*config));
        } else {
            not_configured_ = not_configured_reason(plugin_file);
            catalog_ = std::optional<Catalog>();
        }
    } catch (std::exception const& error) {
        catalog_ = std::unexpected(std::string(error.what()));
    }
}

ModbusManager::Catalog ModbusManager::make_catalog(Config config) {
    Catalog catalog;
    for (std::size_t i = 0; i < config.buses.size(); ++i) {
        for (auto const unit : config.buses[i].units) {
            catalog.units.emplace(compact_description(config.buses[i], unit), std::pair(i, unit));
        }
    }
    catalog.config = std::move(config);
    return catalog;
}

std::optional<std::pair<std::size_t, int>> ModbusManager::Catalog::find(std::string_view compact) const {
    auto const at = units.find(compact);
    return at == units.end() ? std::nullopt : std::optional(at->second);
}

ModbusManager::Catalog const* ModbusManager::catalog() const {
    if (!catalog_) {
        throw ConfigError(catalog_.error());
    }
    return catalog_->has_value() ? &**catalog_ : nullptr;
}

std::string ModbusManager::get_name() {
    return not_configured_.empty() ? family_name : fmt::format("{} ({})", family_name, not_configured_);
}

std::filesystem::path ModbusManager::get_path() { return path_; }

std::string ModbusManager::get_version() { return ZELM_MODBUS_VERSION; }

bool ModbusManager::is_lab_wide(std::string_view compact_description) const noexcept {
    if (!catalog_ || !catalog_->has_value()) {
        return false;
    }
    auto const& found = **catalog_;
    auto const unit = found.find(compact_description);
    return unit && found.config.buses[unit->first].transport == Transport::tcp;
}

bool ModbusManager::owned_elsewhere(BusConfig const& bus, int unit,
                                    std::optional<std::map<std::string, cluster::Owner>> const& lab_owners) {
    auto const description = compact_description(bus, unit);
    if (bus.transport == Transport::tcp && cluster::joined() &&
        (!lab_owners || lab_owners->contains(cluster::owner_key(path_, description)))) {
        return true;
    }
    return find_device_owner(path_, description).has_value();
}

namespace {

// The cluster's owners, one request for the whole listing; none when the
// cluster cannot answer or this process is in none.
std::optional<std::map<std::string, cluster::Owner>> lab_owners_now() {
    if (!cluster::joined()) {
        return std::map<std::string, cluster::Owner>();
    }
    try {
        return cluster::lab_owners();
    } catch (std::exception const&) {
        return std::nullopt;
    }
}

}  // namespace

std::string ModbusManager::list_devices() {
    auto const* found = catalog();
    auto devices = nlohmann::json::array();
    if (found == nullptr) {
        return devices.dump();
    }
    auto const lab_owners = lab_owners_now();
    auto const listings = probe_buses(found->config.buses, [this, &lab_owners](BusConfig const& bus, int unit) {
        return owned_elsewhere(bus, unit, lab_owners);
    });
    std::lock_guard lock(listings_mutex_);
    for (std::size_t i = 0; i < listings.size(); ++i) {
        listings_[listings[i].bus] = listings[i].to_json();
        for (auto const unit : listings[i].units) {
            devices.push_back(nlohmann::json::parse(compact_description(found->config.buses[i], unit)));
        }
    }
    return devices.dump();
}

std::unique_ptr<Device> ModbusManager::open_device(std::string const& description) {
    auto const* found = catalog();
    auto const parsed = nlohmann::json::parse(description, nullptr, false);
    // Compact, so that the message too stays on one line whatever the caller's layout.
    auto const compact = parsed.is_discarded() ? description : parsed.dump();
    auto const unit = found == nullptr ? std::nullopt : found->find(compact);
    if (!unit) {
        throw std::runtime_error(fmt::format("No configured Modbus unit has the description {}", compact));
    }
    auto const& bus = found->config.buses[unit->first];
    nlohmann::json listing;
    {
        std::lock_guard lock(listings_mutex_);
        if (auto const at = listings_.find(bus.name()); at != listings_.end()) {
            listing = at->second;
        }
    }
    return std::make_unique<ModbusDevice>(bus, unit->second, std::move(listing));
}

}  // namespace zelm::modbus

ZELM_PLUGIN_ENTRY zelm::DeviceManager* create_manager() { return new zelm::modbus::ModbusManager; }

ZELM_LAB_WIDE_ENTRY int zelm_is_lab_wide(zelm::DeviceManager* manager, char const* description) noexcept {
    auto const* modbus = dynamic_cast<zelm::modbus::ModbusManager const*>(manager);
    return modbus != nullptr && modbus->is_lab_wide(description) ? 1 : 0;
}
