#include "modbus_test_support.hpp"

#include <fstream>

namespace zelm::modbus_test {

std::filesystem::path ModbusTest::use_config(nlohmann::json const& config) { return use_config_text(config.dump(2)); }

std::filesystem::path ModbusTest::use_config_text(std::string const& text) {
    auto const file = dir() / "modbus.json";
    std::ofstream(file) << text;
    setenv("ZELM_MODBUS_CONFIG", file.c_str(), 1);
    return file;
}

std::shared_ptr<DeviceManager> ModbusTest::manager_handle() {
    if (!manager_) {
        manager_ = get_device_manager(plugin_path);
    }
    return manager_;
}

DeviceManager& ModbusTest::manager() { return *manager_handle(); }

std::vector<nlohmann::json> ModbusTest::listed() {
    return nlohmann::json::parse(manager().list_devices()).get<std::vector<nlohmann::json>>();
}

std::unique_ptr<Device> ModbusTest::open(nlohmann::json const& description) {
    return manager().open_device(description.dump());
}

std::unique_ptr<ManagedDevice> ModbusTest::own(nlohmann::json const& description) {
    return manager().open_managed_device(description.dump());
}

void ModbusTest::expect_held_by(nlohmann::json const& description, pid_t holder) {
    try {
        own(description);
        ADD_FAILURE() << "a second owner got the unit";
    } catch (DeviceOccupiedError const& error) {
        ASSERT_TRUE(error.owner().has_value());
        EXPECT_EQ(error.owner()->pid, holder);
    }
}

nlohmann::json bus_config(ModbusPeer const& peer, SimulatorOptions const& options, nlohmann::json units,
                          nlohmann::json const& members) {
    nlohmann::json bus{{"units", std::move(units)}};
    if (peer.port() != 0) {
        bus["tcp"] = "127.0.0.1:" + std::to_string(peer.port());
    } else {
        bus["rtu"] = peer.client_device().native();
        bus["baud"] = options.baud;
        // A pseudo-terminal keeps no parity, and libmodbus refuses to open a
        // line whose settings did not take, so the test lines have none.
        bus["parity"] = "N";
    }
    bus.update(members);
    return bus;
}

nlohmann::json description(std::string const& bus, int unit) { return {{"bus", bus}, {"unit", unit}}; }

namespace {

nlohmann::json parsed(TextResult const& result) {
    EXPECT_TRUE(result.has_value()) << result.error();
    return result ? nlohmann::json::parse(*result) : nlohmann::json();
}

}  // namespace

nlohmann::json info_of(Device& device) { return parsed(device.get_info()); }
nlohmann::json status_of(Device& device) { return parsed(device.get_status()); }

}  // namespace zelm::modbus_test
