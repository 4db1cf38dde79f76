// The simulated device family's manager: lists the configured devices and
// opens them by description.
#pragma once

#include "open_log.hpp"
#include "sim_config.hpp"

#include <zelm/device_manager.hpp>

#include <nlohmann/json.hpp>

#include <cstddef>
#include <expected>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace zelm::sim {

// The configuration is read once, when the manager is made. A bad one does
// not stop the plug-in from loading: its error is kept and thrown by
// list_devices and open_device, where the caller expects failures.
// All operations may be called from several threads at once; the loaded
// configuration never changes.
class SimManager final : public DeviceManager {
public:
    SimManager();

    // "sim", or the configuration's "name".
    std::string get_name() override;
    // "zelm-sim", whichever copy of the plug-in file answers.
    std::filesystem::path get_path() override;
    // A JSON array of the configured descriptions, in configuration order.
    std::string list_devices() override;
    std::string get_version() override;
    // Whether the configuration marks the device of `compact_description`
    // lab-wide; false for an unknown device or an unusable configuration.
    bool is_lab_wide(std::string_view compact_description) const noexcept;
    // Finds the device whose listed description has the compact text of
    // `description` parsed (so member order and layout do not matter, but
    // {"serial":7.0} does not open a listed {"serial":7}: the library owns a
    // device under its compact text, and a second text would give it a second
    // owner), records the open in the open log, waits the open latency, and
    // throws the injected open fault if any. Throws std::runtime_error naming
    // the description when no device has it.
    std::unique_ptr<Device> open_device(std::string const& description) override;

private:
    // The configuration with what the manager derives from it once.
    struct Catalog {
        Config config;
        std::map<std::string, std::size_t, std::less<>> by_compact_description;
        std::string listing;
        std::optional<OpenLog> open_log;
    };

    static Catalog make_catalog(Config config);
    Catalog const& catalog() const;
    std::shared_ptr<DeviceConfig const> const& find(std::string const& description) const;

    std::filesystem::path path_;
    std::expected<Catalog, std::string> catalog_;
};

}  // namespace zelm::sim
