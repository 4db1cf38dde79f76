// Read streams poll a register block and end with Stop when stopped, or with
// Error when the bus fails, without hanging the host.
#include "modbus_test_support.hpp"

#include <gmock/gmock.h>

#include <stream_recorder.hpp>

#include <future>

namespace zelm::modbus_test {
namespace {

class Streams : public ModbusTest {
protected:
    SimulatorOptions const options{.units = {1}};
    ModbusSimulator simulator{Transport::tcp, options};
    std::unique_ptr<ManagedDevice> device;

    void SetUp() override {
        use_config({{"buses", {bus_config(simulator, options, {1}, {{"poll_ms", 5}, {"timeout_ms", 300}})}}});
        device = own(description(simulator.bus(), 1));
    }
};

// wait_stop of a stream that should have ended by itself, bounded so that a
// hang fails the test instead of blocking the suite.
bool ends_in_time(Device::DataStream& stream) {
    auto done = std::async(std::launch::async, [&] { return stream.wait_stop(); });
    return done.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
}

TEST_F(Streams, DeliverTheBlockAtEachPollAndStopWhenStopped) {
    test::StreamRecorder recorder;
    auto stream = device->start_read_stream(20, recorder.callback(), 4);
    ASSERT_TRUE(recorder.wait_for_data_events(3));
    stream->stop();
    ASSERT_TRUE(ends_in_time(*stream));
    auto const record = recorder.snapshot();
    EXPECT_EQ(record.stops, 1U);
    EXPECT_EQ(record.errors, 0U);
    EXPECT_EQ(record.events_after_end, 0U);
    ASSERT_EQ(record.bytes.size(), 4 * record.data_events());
    EXPECT_EQ(std::vector<unsigned char>(record.bytes.begin(), record.bytes.begin() + 4),
              (std::vector<unsigned char>{0, 20, 0, 21}));
}

TEST_F(Streams, AServerThatDiesEndsTheStreamWithAnErrorNamingTheBus) {
    test::StreamRecorder recorder;
    auto stream = device->start_read_stream(0, recorder.callback(), 2);
    ASSERT_TRUE(recorder.wait_for_data_events(1));
    simulator.kill();
    ASSERT_TRUE(recorder.wait_for_end());
    ASSERT_TRUE(ends_in_time(*stream));
    auto const record = recorder.snapshot();
    EXPECT_EQ(record.errors, 1U);
    EXPECT_EQ(record.stops, 0U);  // nothing follows an Error
    EXPECT_EQ(record.events_after_end, 0U);
    EXPECT_THAT(record.error_message, ::testing::HasSubstr(simulator.bus()));
}

TEST_F(Streams, AStreamOutlivesItsDevice) {
    test::StreamRecorder recorder;
    auto stream = device->start_read_stream(0, recorder.callback(), 2);
    device.reset();
    auto const before = recorder.snapshot().data_events();
    ASSERT_TRUE(recorder.wait_for_data_events(before + 2));
    stream.reset();  // stops and joins
    EXPECT_EQ(recorder.snapshot().stops, 1U);
}

}  // namespace
}  // namespace zelm::modbus_test
