// Ownership across processes: one owner per unit, and units on one serial
// line shared by several processes without corrupting each other's
// transactions.
#include "modbus_test_support.hpp"

#include <zelm/owner.hpp>

#include <cstdio>

namespace zelm::modbus_test {
namespace {

using nlohmann::json;

// Writes a fresh value to one of its unit's registers and reads it back, over
// and over; exits 1 at the first failed or mismatched transaction.
int hammer(json const& unit, unsigned int first_register, int rounds) {
    auto const device = get_device_manager(plugin_path)->open_managed_device(unit.dump());
    for (int round = 0; round < rounds; ++round) {
        auto const address = first_register + static_cast<unsigned int>(round % 8);
        auto const value = static_cast<unsigned int>((round * 7919 + first_register) & 0xffff);
        try {
            if (device->set_register_sync(address, value, 0) != 0 || device->get_register_sync(address) != value) {
                std::fprintf(stderr, "unit %s, round %d: register %u does not read back %u\n", unit.dump().c_str(),
                             round, address, value);
                return 1;
            }
        } catch (std::exception const& error) {
            std::fprintf(stderr, "unit %s, round %d: %s\n", unit.dump().c_str(), round, error.what());
            return 2;
        }
    }
    return 0;
}

TEST_F(ModbusTest, TwoProcessesOnOneSerialLineLoseAndCorruptNothing) {
    SimulatorOptions const options{.units = {1, 2}, .baud = 115200};
    ModbusSimulator const simulator(Transport::rtu, options);
    use_config({{"buses", {bus_config(simulator, options, {1, 2}, {{"timeout_ms", 1000}})}}});
    constexpr int rounds = 300;
    test::ChildProcess first([&](test::ChildProcess&) { return hammer(description(simulator.bus(), 1), 100, rounds); });
    test::ChildProcess second([&](test::ChildProcess&) { return hammer(description(simulator.bus(), 2), 200, rounds); });
    EXPECT_EQ(first.wait(), 0);
    EXPECT_EQ(second.wait(), 0);
}

TEST_F(ModbusTest, OneUnitHasOneOwnerAcrossProcesses) {
    ModbusSimulator const simulator(Transport::tcp, {.units = {1}});
    use_config({{"buses", {bus_config(simulator, {}, {1})}}});
    auto const unit = description(simulator.bus(), 1);
    test::ChildProcess owner([&](test::ChildProcess& self) {
        auto const held = get_device_manager(plugin_path)->open_managed_device(unit.dump());
        self.send();
        self.receive();
        return 0;
    });
    ASSERT_EQ(owner.receive(), '.');
    try {
        own(unit);
        ADD_FAILURE() << "a second owner got the unit";
    } catch (DeviceOccupiedError const& error) {
        ASSERT_TRUE(error.owner().has_value());
        EXPECT_EQ(error.owner()->pid, owner.pid());
    }
    owner.send();
    EXPECT_EQ(owner.wait(), 0);
    EXPECT_EQ(own(unit)->get_register_sync(2), 2U);
}

}  // namespace
}  // namespace zelm::modbus_test
