// Helpers for the Modbus family's tests: a fixture with a private TMPDIR
// and its own configuration file, loading the built plug-in through the
// library.
#pragma once

#include "modbus_peers.hpp"

#include <test_support.hpp>

#include <zelm/device_manager.hpp>
#include <zelm/managed_device.hpp>
#include <zelm/owner.hpp>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zelm::modbus_test {

inline std::filesystem::path const plugin_path{ZELM_MODBUS_PLUGIN};

class ModbusTest : public ::testing::Test {
protected:
    // Writes the configuration to a file of the test's and names it in
    // ZELM_MODBUS_CONFIG; call before the manager is first used.
    std::filesystem::path use_config(nlohmann::json const& config);
    std::filesystem::path use_config_text(std::string const& text);
    // Loaded through the library on first use.
    DeviceManager& manager();
    std::shared_ptr<DeviceManager> manager_handle();
    // What list_devices lists now.
    std::vector<nlohmann::json> listed();
    std::unique_ptr<Device> open(nlohmann::json const& description);
    std::unique_ptr<ManagedDevice> own(nlohmann::json const& description);
    // Expects owning the device to be refused, naming `holder` as its owner.
    void expect_held_by(nlohmann::json const& description, pid_t holder);
    std::filesystem::path const& dir() const { return tmpdir_.path(); }

private:
    test::ScopedTmpdir tmpdir_;
    test::ScopedEnv config_variable_{"ZELM_MODBUS_CONFIG", std::nullopt};
    std::shared_ptr<DeviceManager> manager_;  // last: released before the rest
};

// The configuration of one bus on `peer`, probing `units`, with
// `members` (such as "timeout_ms") merged in. Serial lines run without
// parity, whatever `options` say.
nlohmann::json bus_config(ModbusPeer const& peer, SimulatorOptions const& options, nlohmann::json units,
                          nlohmann::json const& members = nlohmann::json::object());

// {"bus": bus, "unit": unit}
nlohmann::json description(std::string const& bus, int unit);

// The device's information or status as JSON; fails the test on an error text.
nlohmann::json info_of(Device& device);
nlohmann::json status_of(Device& device);

}  // namespace zelm::modbus_test
