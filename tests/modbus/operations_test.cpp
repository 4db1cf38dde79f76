// Registers, coils and register blocks of a Modbus unit, cross-checked with
// an independent client (mbpoll) on the same server; and the requests that
// are refused before anything is sent, or answered with an exception.
#include "modbus_test_support.hpp"

#include <gmock/gmock.h>

#include <fmt/format.h>

#include <array>
#include <stdexcept>
#include <vector>

namespace zelm::modbus_test {
namespace {

using nlohmann::json;

constexpr int registers = 1000;  // holding and input registers and coils of each simulated unit

class Operations : public ModbusTest {
protected:
    SimulatorOptions const options{.units = {1}, .registers = registers};
    ModbusSimulator simulator{Transport::tcp, options};
    std::unique_ptr<ManagedDevice> device;

    void SetUp() override {
        use_config({{"buses", {bus_config(simulator, options, {1, 3}, {{"timeout_ms", 300}})}}});
        device = own(description(simulator.bus(), 1));
    }
    void TearDown() override { device.reset(); }

    // mbpoll on the same unit, addresses counted from 0 (-0), once (-1);
    // with `values`, it writes them.
    MbpollResult mbpoll(std::vector<std::string> const& arguments, std::vector<std::string> const& values = {}) {
        std::vector<std::string> all{"-m", "tcp", "-p", std::to_string(simulator.port()), "-a", "1", "-0", "-1"};
        all.insert(all.end(), arguments.begin(), arguments.end());
        all.push_back("127.0.0.1");
        all.insert(all.end(), values.begin(), values.end());
        return run_mbpoll(all);
    }
    // The values mbpoll reads: "-t 4" holding registers, "-t 0" coils.
    std::string mbpoll_read(char const* table, int address, int count) {
        auto const result = mbpoll({"-t", table, "-r", std::to_string(address), "-c", std::to_string(count)});
        EXPECT_EQ(result.status, 0) << result.err;
        return result.out;
    }
    std::uint64_t transactions() { return status_of(*device)["Transactions"].get<std::uint64_t>(); }
};

TEST_F(Operations, RegisterWrittenHereIsReadByMbpoll) {
    ASSERT_EQ(device->set_register_sync(40, 1234, 0), 0);
    EXPECT_THAT(mbpoll_read("4", 40, 1), ::testing::HasSubstr("[40]: \t1234"));
}

TEST_F(Operations, RegisterWrittenByMbpollIsReadHere) {
    auto const written = mbpoll({"-t", "4", "-r", "41"}, {"4321"});
    ASSERT_EQ(written.status, 0) << written.err;
    EXPECT_EQ(device->get_register_sync(41), 4321U);
}

TEST_F(Operations, InputRegistersAreAddressedFrom0x10000) {
    EXPECT_EQ(device->get_register_sync(0x10000 + 5), 1005U);
    EXPECT_EQ(device->get_register_sync(5), 5U);
}

TEST_F(Operations, CoilsAreSetThroughOperandOneAndTriggers) {
    ASSERT_EQ(device->set_register_sync(7, 1, 1), 0);
    ASSERT_EQ(device->trigger(8, 1), 0);
    EXPECT_THAT(mbpoll_read("0", 6, 4), ::testing::AllOf(::testing::HasSubstr("[6]: \t0"), ::testing::HasSubstr("[7]: \t1"),
                                                         ::testing::HasSubstr("[8]: \t1"), ::testing::HasSubstr("[9]: \t0")));
    ASSERT_EQ(device->trigger(8, 0), 0);
    EXPECT_THAT(mbpoll_read("0", 8, 1), ::testing::HasSubstr("[8]: \t0"));
}

TEST_F(Operations, BlocksAreBigEndianWords) {
    std::array<unsigned char, 6> read{};
    ASSERT_EQ(device->read(10, read.size(), read.data()), 0);
    EXPECT_EQ(read, (std::array<unsigned char, 6>{0, 10, 0, 11, 0, 12}));

    std::array<unsigned char, 4> const written{0x12, 0x34, 0xab, 0xcd};
    ASSERT_EQ(device->write(100, written.size(), written.data()), 0);
    EXPECT_THAT(mbpoll_read("4", 100, 2),
                ::testing::AllOf(::testing::HasSubstr("[100]: \t4660"), ::testing::HasSubstr("[101]: \t43981")));
}

// More registers than one request carries: the block goes in several.
TEST_F(Operations, LargeBlocksSpanSeveralRequests) {
    std::vector<unsigned char> bytes(2 * 300);
    ASSERT_EQ(device->read(500, bytes.size(), bytes.data()), 0);
    for (unsigned int i = 0; i < 300; ++i) {
        ASSERT_EQ((bytes[2 * i] << 8) | bytes[2 * i + 1], 500 + i) << "register " << 500 + i;
    }
    for (unsigned int i = 0; i < 300; ++i) {
        bytes[2 * i] = static_cast<unsigned char>((i + 7) >> 8);
        bytes[2 * i + 1] = static_cast<unsigned char>((i + 7) & 0xff);
    }
    ASSERT_EQ(device->write(200, bytes.size(), bytes.data()), 0);
    EXPECT_EQ(device->get_register_sync(200), 7U);
    EXPECT_EQ(device->get_register_sync(499), 306U);
}

struct RefusedCase {
    char const* name;
    std::function<void(Device&)> call;
    char const* message;
};

class Refused : public Operations, public ::testing::WithParamInterface<RefusedCase> {};

// Refused before anything is sent: the unit sees no request at all.
TEST_P(Refused, BeforeAnythingIsSent) {
    std::string message;
    try {
        GetParam().call(*device);
    } catch (std::logic_error const& error) {
        message = error.what();
    }
    EXPECT_EQ(message, GetParam().message);
    EXPECT_EQ(transactions(), 0U);
}

unsigned char buffer[8];

INSTANTIATE_TEST_SUITE_P(
    Cases, Refused,
    ::testing::Values(
        RefusedCase{"OddReadLength", [](Device& d) { d.read(0, 3, buffer); },
                    "modbus: 3 bytes is not a whole number of 16-bit registers; give an even length"},
        RefusedCase{"OddWriteLength", [](Device& d) { d.write(0, 1, buffer); },
                    "modbus: 1 bytes is not a whole number of 16-bit registers; give an even length"},
        RefusedCase{"OddStreamSize", [](Device& d) { d.start_read_stream(0, [](DataStream::Event&&) {}, 5); },
                    "modbus: 5 bytes is not a whole number of 16-bit registers; give an even length"},
        RefusedCase{"BlockPastTheLastRegister", [](Device& d) { d.read(65535, 4, buffer); },
                    "modbus: 2 register(s) at address 65535 reach past the last register (65535; input registers "
                    "are 65536-131071)"},
        RefusedCase{"AddressPastTheInputRegisters", [](Device& d) { d.get_register_sync(0x20000); },
                    "modbus: 1 register(s) at address 131072 reach past the last register (65535; input registers "
                    "are 65536-131071)"},
        RefusedCase{"WriteToAnInputRegister", [](Device& d) { d.write(0x10000, 2, buffer); },
                    "modbus: address 65536 is input register 0, and input registers are read-only"},
        RefusedCase{"ValueWiderThan16Bits", [](Device& d) { d.set_register_sync(0, 70000, 0); },
                    "modbus: 70000 does not fit a 16-bit register (0 to 65535)"},
        RefusedCase{"CoilPastTheLast", [](Device& d) { d.trigger(65536, 1); },
                    "modbus: coil 65536 is past the last coil, 65535"},
        RefusedCase{"CoilValueNotABit", [](Device& d) { d.set_register_sync(0, 2, 1); },
                    "modbus: a coil is 0 or 1, not 2"},
        RefusedCase{"UnknownOperand", [](Device& d) { d.set_register_sync(0, 1, 2); },
                    "modbus: operand 2 selects nothing; 0 is a holding register, 1 a coil"}),
    [](auto const& test_case) { return std::string(test_case.param.name); });

struct ExceptionCase {
    char const* name;
    std::function<void(Device&)> call;
    char const* request;  // what the message names before the unit and bus
};

class ExceptionResponse : public Operations, public ::testing::WithParamInterface<ExceptionCase> {};

TEST_P(ExceptionResponse, IsAnErrorNamingTheFunctionAddressAndException) {
    auto const message = test::runtime_error_of([&] { GetParam().call(*device); });
    EXPECT_EQ(message, fmt::format("modbus {}, unit 1 on {}: exception 2 (Illegal data address)", GetParam().request,
                                   simulator.bus()));
    EXPECT_EQ(status_of(*device)["Exceptions"], (json{{"Illegal data address", 1}}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExceptionResponse,
    ::testing::Values(
        ExceptionCase{"ReadRegister", [](Device& d) { d.get_register_sync(registers); },
                      "read holding registers (function 3) at address 1000 (1 register)"},
        ExceptionCase{"ReadInputRegister", [](Device& d) { d.get_register_sync(0x10000 + registers); },
                      "read input registers (function 4) at address 1000 (1 register)"},
        ExceptionCase{"WriteRegister", [](Device& d) { d.set_register_sync(registers, 1, 0); },
                      "write single register (function 6) at address 1000 (1 register)"},
        ExceptionCase{"WriteBlock", [](Device& d) {
                          std::array<unsigned char, 4> const data{};
                          d.write(registers - 1, data.size(), data.data());
                      },
                      "write multiple registers (function 16) at address 999 (2 registers)"},
        ExceptionCase{"Trigger", [](Device& d) { d.trigger(registers, 1); },
                      "write single coil (function 5) at address 1000 (1 coil)"}),
    [](auto const& test_case) { return std::string(test_case.param.name); });

TEST_F(Operations, AUnitThatDoesNotAnswerIsAnErrorNotAValue) {
    auto const silent = open(description(simulator.bus(), 3));
    EXPECT_EQ(test::runtime_error_of([&] { silent->get_register_sync(0); }),
              fmt::format("modbus read holding registers (function 3) at address 0 (1 register), unit 3 on {}: no "
                          "answer in time",
                          simulator.bus()));
    EXPECT_EQ(status_of(*silent)["No answer"], 1);
}

}  // namespace
}  // namespace zelm::modbus_test
