// The device interface's two synchronous defaults, built from the register
// operations of a small recording device.
#include <zelm/device.hpp>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

class RecordingDevice final : public zelm::Device {
public:
    int set_register_result = 0;
    int send_registers_result = 0;
    int read_registers_result = 0;
    unsigned int register_value = 0;
    bool set_register_throws = false;
    std::vector<std::string> calls;

    int set_register(unsigned int address, unsigned int value, unsigned int operand) override {
        calls.push_back("set_register " + std::to_string(address) + " " + std::to_string(value) + " " +
                        std::to_string(operand));
        if (set_register_throws) {
            throw std::runtime_error("set_register failed");
        }
        return set_register_result;
    }
    int send_registers() override {
        calls.emplace_back("send_registers");
        return send_registers_result;
    }
    unsigned int get_register(unsigned int address) override {
        calls.push_back("get_register " + std::to_string(address));
        return register_value;
    }
    int read_registers() override {
        calls.emplace_back("read_registers");
        return read_registers_result;
    }
    int trigger(unsigned int, int) override { return 0; }
    int write(unsigned int, unsigned long, unsigned char const*) override { return 0; }
    int read(unsigned int, unsigned long, unsigned char*) override { return 0; }
    std::unique_ptr<DataStream> start_read_stream(unsigned int, zelm::DataStream::Callback&&, unsigned long) override {
        return {};
    }
    zelm::TextResult get_status() override { return "{}"; }
    zelm::TextResult get_info() override { return "{}"; }
};

using Calls = std::vector<std::string>;

TEST(SetRegisterSync, AnyFailureOfSetRegisterGivesOneAndSendsNothing) {
    for (int const failure : {5, -1, 1}) {
        RecordingDevice device;
        device.set_register_result = failure;
        device.send_registers_result = 7;
        EXPECT_EQ(device.set_register_sync(3, 4, 5), 1) << "set_register gave " << failure;
        EXPECT_EQ(device.calls, (Calls{"set_register 3 4 5"})) << "set_register gave " << failure;
    }
}

TEST(SetRegisterSync, ReturnsExactlyWhatSendRegistersReturns) {
    for (int const code : {0, 1, 7, -3}) {
        RecordingDevice device;
        device.send_registers_result = code;
        EXPECT_EQ(device.set_register_sync(10, 20, 30), code);
        EXPECT_EQ(device.calls, (Calls{"set_register 10 20 30", "send_registers"}));
    }
}

TEST(SetRegisterSync, ExceptionOfSetRegisterPassesThrough) {
    RecordingDevice device;
    device.set_register_throws = true;
    EXPECT_THROW(device.set_register_sync(1, 2, 3), std::runtime_error);
    EXPECT_EQ(device.calls, (Calls{"set_register 1 2 3"}));
}

TEST(GetRegisterSync, FailedReadGivesEmptyWithoutGetRegister) {
    for (int const failure : {3, -1, 1}) {
        RecordingDevice device;
        device.read_registers_result = failure;
        device.register_value = 42;
        EXPECT_EQ(device.get_register_sync(8), std::nullopt) << "read_registers gave " << failure;
        EXPECT_EQ(device.calls, (Calls{"read_registers"}));
    }
}

TEST(GetRegisterSync, ZeroValueIsEngagedAndDistinctFromEmpty) {
    RecordingDevice device;
    device.register_value = 0;
    auto const value = device.get_register_sync(8);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(*value, 0u);
    EXPECT_EQ(device.calls, (Calls{"read_registers", "get_register 8"}));

    device.register_value = 0xdeadbeef;
    EXPECT_EQ(device.get_register_sync(9), std::optional<unsigned int>(0xdeadbeef));
}

}  // namespace
