// The manager of the Modbus family and the plug-in's entry point.
#include "modbus_manager.hpp"

#include "device_description.hpp"
#include "modbus_device.hpp"

#include "config_location.hpp"

#include <zelm/owner.hpp>
#include <zelm/plugin_capabilities.hpp>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <vector>

namespace zelm::modbus {
namespace {

// The family's name, not the file's location: every copy of the plug-in
// derives the same lock identities, so one unit cannot be owned through two
// copies.
constexpr char const* family_path = "zelm-modbus";
constexpr char const* family_name = "Modbus";

// What a description says: a bus name and a unit id.
struct DescribedUnit {
    std::string bus;
    std::int64_t unit = 0;
};

std::optional<DescribedUnit> described_unit(std::string_view compact) {
    auto const parsed = nlohmann::json::parse(compact, nullptr, false);
    if (!parsed.is_object()) {
        return std::nullopt;
    }
    auto const bus = parsed.find("bus");
    auto const unit = parsed.find("unit");
    if (bus == parsed.end() || !bus->is_string() || unit == parsed.end() || !unit->is_number_integer()) {
        return std::nullopt;
    }
    return DescribedUnit{bus->get<std::string>(), unit->get<std::int64_t>()};
}

struct LocatedUnit {
    std::size_t bus = 0;
    BusIdentity identity;
    int unit = 0;
};

// The configured unit whose description is `compact`. Only the buses that
// could carry it are identified; those that could not be are named in
// `unresolved`.
std::optional<LocatedUnit> locate(Config const& config, std::string const& compact,
                                  std::vector<std::string>& unresolved) {
    auto const described = described_unit(compact);
    if (!described) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < config.buses.size(); ++i) {
        auto const& bus = config.buses[i];
        if (!std::ranges::binary_search(bus.units, described->unit) || !may_be_named(bus, described->bus)) {
            continue;
        }
        try {
            auto identity = identify(bus);
            auto const unit = static_cast<int>(described->unit);
            if (compact_description(identity, unit) == compact) {
                return LocatedUnit{i, std::move(identity), unit};
            }
        } catch (ResolveError const& error) {
            unresolved.emplace_back(error.what());
        }
    }
    return std::nullopt;
}

}  // namespace

ModbusManager::ModbusManager() : path_(family_path) {
    try {
        auto const plugin_file = plugin::own_plugin_file();
        config_ = load_config(plugin_file);
        if (!*config_) {
            not_configured_ = not_configured_reason(plugin_file);
        }
    } catch (std::exception const& error) {
        config_ = std::unexpected(std::string(error.what()));
    }
}

Config const* ModbusManager::config() const {
    if (!config_) {
        throw ConfigError(config_.error());
    }
    return config_->has_value() ? &**config_ : nullptr;
}

std::string ModbusManager::get_name() {
    return not_configured_.empty() ? family_name : fmt::format("{} ({})", family_name, not_configured_);
}

std::filesystem::path ModbusManager::get_path() { return path_; }

std::string ModbusManager::get_version() { return ZELM_MODBUS_VERSION; }

bool ModbusManager::is_lab_wide(std::string_view compact_description) const noexcept {
    if (!config_ || !config_->has_value()) {
        return false;
    }
    return on_tcp_bus(compact_description);
}

bool ModbusManager::owned_elsewhere(BusConfig const& bus, BusIdentity const& identity, int unit,
                                    std::optional<std::map<std::string, cluster::Owner>> const& lab_owners) {
    auto const description = compact_description(identity, unit);
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

// Two spellings of one bus in a configuration are one bus: its units are
// listed once.
std::string ModbusManager::list_devices() {
    auto const* found = config();
    auto devices = nlohmann::json::array();
    if (found == nullptr) {
        return devices.dump();
    }
    auto const lab_owners = lab_owners_now();
    auto const listings =
        probe_buses(found->buses, [this, &lab_owners](BusConfig const& bus, BusIdentity const& identity, int unit) {
            return owned_elsewhere(bus, identity, unit, lab_owners);
        });
    std::set<std::string> listed;
    std::lock_guard lock(listings_mutex_);
    for (auto const& listing : listings) {
        listings_[listing.bus] = listing.to_json();
        for (auto const unit : listing.units) {
            if (auto description = compact_description(*listing.identity, unit); listed.insert(description).second) {
                devices.push_back(nlohmann::json::parse(description));
            }
        }
    }
    return devices.dump();
}

std::unique_ptr<Device> ModbusManager::open_device(std::string const& description) {
    auto const* found = config();
    auto const parsed = nlohmann::json::parse(description, nullptr, false);
    // Compact, so that the message too stays on one line whatever the caller's layout.
    auto const compact = parsed.is_discarded() ? description : parsed.dump();
    std::vector<std::string> unresolved;
    auto const unit = found == nullptr ? std::nullopt : locate(*found, compact, unresolved);
    if (!unit) {
        throw std::runtime_error(fmt::format("No configured Modbus unit has the description {}{}", compact,
                                             unresolved.empty() ? "" : fmt::format(" ({})", fmt::join(unresolved, "; "))));
    }
    auto const& bus = found->buses[unit->bus];
    nlohmann::json listing;
    {
        std::lock_guard lock(listings_mutex_);
        if (auto const at = listings_.find(bus.name()); at != listings_.end()) {
            listing = at->second;
        }
    }
    return std::make_unique<ModbusDevice>(bus, unit->identity, unit->unit, std::move(listing));
}

namespace {

int is_lab_wide(DeviceManager* manager, char const* description) noexcept {
    auto const* modbus = dynamic_cast<ModbusManager const*>(manager);
    return modbus != nullptr && modbus->is_lab_wide(description) ? 1 : 0;
}

}  // namespace
}  // namespace zelm::modbus

ZELM_PLUGIN_ENTRY zelm::DeviceManager* create_manager() { return new zelm::modbus::ModbusManager; }

ZELM_PLUGIN_CAPABILITIES{.is_lab_wide = &zelm::modbus::is_lab_wide};
