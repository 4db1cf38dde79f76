// The simulated device's operations behave like hardware: staged register
// writes, snapshot reads, bounded memory, counted triggers; and its injected
// faults show up where a host would meet them.
#include "sim_test_support.hpp"

#include <gmock/gmock.h>

#include <climits>
#include <numeric>

namespace zelm::sim_test {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;

json const description = {{"serial", "DEV-1"}};

class SimDeviceTest : public SimTest {
protected:
    void SetUp() override {
        use_config(one_device(description, {{"registers", {{"count", 8}, {"values", {{"0x2", 7}, {"5", 50}}}}},
                                            {"memory_size", 64},
                                            {"status", {{"API", "test/2"}, {"Mode", "idle"}}}}));
        device = open(description);
    }

    std::vector<unsigned char> whole_memory() {
        std::vector<unsigned char> memory(64);
        EXPECT_EQ(device->read(0, memory.size(), memory.data()), 0);
        return memory;
    }

    std::unique_ptr<Device> device;
};

TEST_F(SimDeviceTest, RegisterWritesAreStagedUntilSentAndReadsComeFromTheLastSnapshot) {
    ASSERT_EQ(device->read_registers(), 0);
    EXPECT_EQ(device->get_register(2), 7U);
    EXPECT_EQ(device->get_register(5), 50U);
    EXPECT_EQ(device->get_register(3), 0U);

    ASSERT_EQ(device->set_register(2, 9, 0), 0);
    ASSERT_EQ(device->read_registers(), 0);
    EXPECT_EQ(device->get_register(2), 7U) << "a staged value reached the register before send_registers";

    ASSERT_EQ(device->send_registers(), 0);
    EXPECT_EQ(device->get_register(2), 7U) << "get_register did not read the snapshot";
    ASSERT_EQ(device->read_registers(), 0);
    EXPECT_EQ(device->get_register(2), 9U);

    // The interface's synchronous forms are built from the same operations.
    EXPECT_EQ(device->set_register_sync(7, 70, 0), 0);
    EXPECT_EQ(device->get_register_sync(7), std::optional<unsigned int>(70));
}

TEST_F(SimDeviceTest, RegistersBeyondTheFileAreRefused) {
    EXPECT_NE(device->set_register(8, 1, 0), 0);
    EXPECT_EQ(device->set_register_sync(8, 1, 0), 1);
    ASSERT_EQ(device->read_registers(), 0);
    EXPECT_THROW(device->get_register(8), std::out_of_range);
}

// What one open saved, the next one starts from (state_test.cpp has the
// rest); without kept state every open starts from the configured state.
TEST_F(SimDeviceTest, AnOpenStartsFromTheStateTheLastOneSaved) {
    device.reset();
    for (bool const keep_state : {true, false}) {
        SCOPED_TRACE(keep_state ? "state kept" : "state not kept");
        release_manager();
        use_config(one_device(description, {{"registers", {{"count", 8}, {"values", {{"0x2", 7}}}}},
                                            {"memory_size", 64},
                                            {"keep_state", keep_state}}));
        auto const first = open(description);
        ASSERT_EQ(first->set_register_sync(2, 1, 0), 0);
        unsigned char const byte = 0xAB;
        ASSERT_EQ(first->write(0, 1, &byte), 0);

        auto const again = open(description);
        EXPECT_EQ(again->get_register_sync(2), std::optional<unsigned int>(keep_state ? 1 : 7));
        unsigned char read_back = 0;
        ASSERT_EQ(again->read(0, 1, &read_back), 0);
        EXPECT_EQ(read_back, keep_state ? 0xAB : 0x00);
    }
}

TEST_F(SimDeviceTest, MemoryReadsBackWhatWasWrittenUpToItsLastByte) {
    std::vector<unsigned char> data(16);
    std::iota(data.begin(), data.end(), 100);
    ASSERT_EQ(device->write(48, data.size(), data.data()), 0);
    std::vector<unsigned char> read_back(16);
    ASSERT_EQ(device->read(48, read_back.size(), read_back.data()), 0);
    EXPECT_EQ(read_back, data);
}

struct OutOfRange {
    unsigned int address;
    unsigned long length;
};

std::ostream& operator<<(std::ostream& stream, OutOfRange const& range) {
    return stream << "address " << range.address << ", length " << range.length;
}

class SimDeviceRangeTest : public SimDeviceTest, public ::testing::WithParamInterface<OutOfRange> {};

// Nothing may be touched on either side, also when address + length wraps.
TEST_P(SimDeviceRangeTest, TransferOutsideMemoryFailsAndTouchesNothing) {
    auto const [address, length] = GetParam();
    auto const before = whole_memory();
    std::vector<unsigned char> buffer(128, 0x5A);

    EXPECT_NE(device->write(address, length, buffer.data()), 0);
    EXPECT_EQ(whole_memory(), before);
    EXPECT_NE(device->read(address, length, buffer.data()), 0);
    EXPECT_EQ(buffer, std::vector<unsigned char>(128, 0x5A));
}

INSTANTIATE_TEST_SUITE_P(Cases, SimDeviceRangeTest,
                         ::testing::Values(OutOfRange{64, 1}, OutOfRange{63, 2}, OutOfRange{0, 65},
                                           OutOfRange{UINT_MAX, 2}, OutOfRange{1, ULONG_MAX}));

TEST_F(SimDeviceTest, StatusKeepsItsConfigurationAndCountsTriggers) {
    EXPECT_EQ(json::parse(device->get_status().value()),
              json({{"API", "test/2"}, {"Mode", "idle"}, {"Triggers", 0}}));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(device->trigger(static_cast<unsigned int>(i), i), 0);
    }
    EXPECT_EQ(json::parse(device->get_status().value()).at("Triggers"), 3);
}

struct Fault {
    char const* name;
    json faults;
    // Checks what the host meets; the device is null when open_device threw
    // and `open_error` holds its message.
    void (*check)(Device* device, std::string const& open_error);
};

std::ostream& operator<<(std::ostream& stream, Fault const& fault) { return stream << fault.name; }

class SimFaultTest : public SimTest, public ::testing::WithParamInterface<Fault> {};

TEST_P(SimFaultTest, ShowsWhereTheHostMeetsIt) {
    use_config(one_device(description, {{"faults", GetParam().faults}}));
    std::unique_ptr<Device> device;
    std::string open_error;
    try {
        device = open(description);
    } catch (std::runtime_error const& error) {
        open_error = error.what();
    }
    GetParam().check(device.get(), open_error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimFaultTest,
    ::testing::Values(
        Fault{"GetInfoError", {{"get_info_error", "sensor offline"}},
              [](Device* device, std::string const&) {
                  ASSERT_NE(device, nullptr);
                  EXPECT_EQ(device->get_info(), TextResult(std::unexpected("sensor offline")));
                  EXPECT_TRUE(device->get_status().has_value()) << "only get_info was to fail";
              }},
        Fault{"InfoNotJson", {{"info_not_json", true}},
              [](Device* device, std::string const&) {
                  ASSERT_NE(device, nullptr);
                  auto const answer = device->get_info();
                  ASSERT_TRUE(answer.has_value());
                  EXPECT_FALSE(json::accept(*answer)) << *answer;
              }},
        Fault{"GetStatusError", {{"get_status_error", "bus reset"}},
              [](Device* device, std::string const&) {
                  ASSERT_NE(device, nullptr);
                  EXPECT_EQ(device->get_status(), TextResult(std::unexpected("bus reset")));
                  EXPECT_TRUE(device->get_info().has_value());
              }},
        Fault{"OpenDeviceError", {{"open_device_error", "USB stall"}},
              [](Device* device, std::string const& open_error) {
                  EXPECT_EQ(device, nullptr);
                  EXPECT_EQ(open_error, "USB stall");
              }}),
    [](auto const& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace zelm::sim_test
