// Ownership across processes: one owner per unit, and units on one serial
// line shared by several processes without corrupting each other's
// transactions.
#include "modbus_test_support.hpp"

#include <zelm/owner.hpp>

#include <modbus.h>
#include <poll.h>
#include <sys/file.h>
#include <fcntl.h>
#include <unistd.h>

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
    expect_held_by(unit, owner.pid());
    owner.send();
    EXPECT_EQ(owner.wait(), 0);
    EXPECT_EQ(own(unit)->get_register_sync(2), 2U);
}

class SerialLine : public ModbusTest {
protected:
    SimulatorOptions const options{.units = {1}};
    ModbusSimulator simulator{Transport::rtu, options};
    std::unique_ptr<ManagedDevice> device;

    void SetUp() override {
        use_config({{"buses", {bus_config(simulator, options, {1}, {{"timeout_ms", 50}})}}});
        device = own(description(simulator.bus(), 1));
        ASSERT_EQ(device->read_registers(), 0);  // the device's line is open from here on
    }
};

// Another master's request whose reply it never read: the reply waits on the
// line, and would be taken for the answer to the next request.
TEST_F(SerialLine, AReplyLeftOnTheLineIsNotTakenForTheNextAnswer) {
    {
        std::unique_ptr<modbus_t, decltype(&modbus_free)> const other(
            modbus_new_rtu(simulator.client_device().c_str(), options.baud, 'N', 8, 1), &modbus_free);
        ASSERT_NE(other, nullptr);
        ASSERT_EQ(modbus_connect(other.get()), 0) << modbus_strerror(errno);
        std::array<std::uint8_t, 6> const read_register_0{1, 0x03, 0, 0, 0, 1};
        ASSERT_GT(modbus_send_raw_request(other.get(), read_register_0.data(), read_register_0.size()), 0);
        pollfd reply{.fd = modbus_get_socket(other.get()), .events = POLLIN, .revents = 0};
        ASSERT_EQ(::poll(&reply, 1, 10'000), 1);
        modbus_close(other.get());
    }
    EXPECT_EQ(device->get_register_sync(5), 5U);
}

// A process that keeps the line (stopped, or stuck) costs the others an
// error, not a hang.
TEST_F(SerialLine, ALineHeldTooLongIsAnErrorNotAHang) {
    int const holder = ::open(simulator.client_device().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    EXPECT_EQ(test::runtime_error_of([&] { device->get_register_sync(0); }),
              "modbus line " + simulator.client_device().native() +
                  " is busy: another process has held it for 1000 ms");
    ::close(holder);
    EXPECT_EQ(device->get_register_sync(5), 5U);
}

}  // namespace
}  // namespace zelm::modbus_test
