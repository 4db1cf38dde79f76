// The Modbus family's manager: lists the units that answer on the
// configured buses and opens them by description.
#pragma once

#include "bus_config.hpp"
#include "bus_identity.hpp"
#include "bus_probe.hpp"

#include <zelm/cluster.hpp>
#include <zelm/device_manager.hpp>

#include <nlohmann/json.hpp>

#include <expected>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace zelm::modbus {

// The configuration is read once, when the manager is made. A bad one does
// not stop the plug-in from loading: its error is kept and thrown by
// list_devices and open_device. All operations may be called from several
// threads at once.
class ModbusManager final : public DeviceManager {
public:
    ModbusManager();

    // "Modbus", and why nothing is listed when there is no configuration.
    std::string get_name() override;
    // "zelm-modbus", whichever copy of the plug-in file answers.
    std::filesystem::path get_path() override;
    // A JSON array of the descriptions of the units found on every bus, in
    // configuration order; "[]" without a configuration. Throws ConfigError
    // for a bad configuration.
    std::string list_devices() override;
    std::string get_version() override;
    // Opens the configured unit whose description has the compact text of
    // `description` parsed, without sending anything (a TCP bus named by its
    // host may be resolved). Throws ConfigError for a bad configuration and
    // std::runtime_error naming the description, and the buses that could
    // not be resolved, when no configured unit has it.
    std::unique_ptr<Device> open_device(std::string const& description) override;

    // Whether `compact_description` describes a unit on a TCP bus, which
    // every host of the network reaches: such units are owned lab-wide in a
    // cluster. Decided by the description alone, so that it never depends
    // on a resolver's answer of the moment; false without a configuration.
    // Never throws.
    bool is_lab_wide(std::string_view compact_description) const noexcept;

private:
    Config const* config() const;  // none: not configured
    // Whether another process, here or (for a TCP unit, in a cluster) on
    // another host, owns the unit; `lab_owners` are the cluster's keys, none
    // when the cluster cannot say, which counts every TCP unit as owned.
    bool owned_elsewhere(BusConfig const& bus, BusIdentity const& identity, int unit,
                         std::optional<std::map<std::string, cluster::Owner>> const& lab_owners);

    std::filesystem::path path_;
    std::string not_configured_;
    std::expected<std::optional<Config>, std::string> config_;
    std::mutex listings_mutex_;
    std::map<std::string, nlohmann::json> listings_;  // by bus name; guarded by listings_mutex_
};

}  // namespace zelm::modbus
