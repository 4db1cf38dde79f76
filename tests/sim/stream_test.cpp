// Read streams: the bytes delivered, their chunking into both event kinds,
// the single terminal event, the injected stream fault, and clean ends by
// stop, by destroying the handle, and by a failing receiver. Nothing here
// measures time; waits are generous waits for conditions.
#include "sim_test_support.hpp"

#include <atomic>
#include <future>
#include <thread>

namespace zelm::sim_test {
namespace {

using nlohmann::json;

json const description = {{"serial", "STREAM-1"}};
constexpr std::size_t memory_size = 1000;
constexpr std::size_t chunk_size = 64;

class SimStreamTest : public SimTest {
protected:
    // Opens a device with the given stream settings and faults and fills its
    // memory with a pattern unlike the initial one.
    void open_device(double chunks_per_second, json const& faults = json::object()) {
        use_config(one_device(
            description, {{"memory_size", memory_size},
                          {"stream", {{"chunk_size", chunk_size}, {"chunks_per_second", chunks_per_second}}},
                          {"faults", faults}}));
        device = open(description);
        pattern.resize(memory_size);
        for (std::size_t i = 0; i < memory_size; ++i) {
            pattern[i] = static_cast<unsigned char>(i * 7 + 3);
        }
        ASSERT_EQ(device->write(0, pattern.size(), pattern.data()), 0);
    }

    std::vector<unsigned char> expected_bytes(unsigned int address, std::size_t size) const {
        std::vector<unsigned char> bytes(size);
        for (std::size_t k = 0; k < size; ++k) {
            bytes[k] = pattern[(address + k) % memory_size];
        }
        return bytes;
    }

    std::unique_ptr<Device::DataStream> start(unsigned int address, unsigned long size) {
        return device->start_read_stream(address, recorder.callback(), size);
    }

    std::unique_ptr<Device> device;
    std::vector<unsigned char> pattern;
    StreamRecorder recorder;
};

struct Bounded {
    unsigned int address;
    unsigned long size;
};

std::ostream& operator<<(std::ostream& stream, Bounded const& bounded) {
    return stream << "address " << bounded.address << ", size " << bounded.size;
}

class SimBoundedStreamTest : public SimStreamTest, public ::testing::WithParamInterface<Bounded> {};

// Sizes below a chunk, on a chunk boundary and across the end of memory.
TEST_P(SimBoundedStreamTest, DeliversExactlySizeBytesOfMemoryThenOneStop) {
    auto const [address, size] = GetParam();
    open_device(0);
    auto const stream = start(address, size);
    ASSERT_NE(stream, nullptr);
    ASSERT_TRUE(recorder.wait_for_end());
    EXPECT_EQ(stream->wait_stop(), 0);

    auto const record = recorder.snapshot();
    EXPECT_EQ(record.bytes, expected_bytes(address, size));
    EXPECT_EQ(record.data_events(), (size + chunk_size - 1) / chunk_size);
    if (record.data_events() > 1) {
        EXPECT_GT(record.owned_events, 0U);
        EXPECT_GT(record.view_events, 0U);
    }
    EXPECT_EQ(record.stops, 1U);
    EXPECT_EQ(record.errors, 0U);
    EXPECT_EQ(record.events_after_end, 0U);
}

INSTANTIATE_TEST_SUITE_P(Cases, SimBoundedStreamTest,
                         ::testing::Values(Bounded{0, 10}, Bounded{0, 640}, Bounded{100, 1000}, Bounded{999, 3000}));

struct Failing {
    unsigned long size;
    unsigned long error_after;
    std::size_t expected_bytes;
    bool ends_with_error;
};

std::ostream& operator<<(std::ostream& stream, Failing const& failing) {
    return stream << "size " << failing.size << ", error after " << failing.error_after;
}

class SimFailingStreamTest : public SimStreamTest, public ::testing::WithParamInterface<Failing> {};

TEST_P(SimFailingStreamTest, EndsWithErrorAtTheInjectedPositionUnlessItEndsFirst) {
    auto const [size, error_after, expected_size, ends_with_error] = GetParam();
    open_device(0, {{"stream_error", "DMA overrun"}, {"stream_error_after", error_after}});
    auto const stream = start(10, size);
    ASSERT_NE(stream, nullptr);
    ASSERT_TRUE(recorder.wait_for_end());
    EXPECT_EQ(stream->wait_stop(), ends_with_error ? 1 : 0);

    auto const record = recorder.snapshot();
    EXPECT_EQ(record.bytes, expected_bytes(10, expected_size));
    EXPECT_EQ(record.errors, ends_with_error ? 1U : 0U);
    EXPECT_EQ(record.stops, ends_with_error ? 0U : 1U);
    if (ends_with_error) {
        EXPECT_EQ(record.error_message, "DMA overrun");
    }
    EXPECT_EQ(record.events_after_end, 0U);
}

INSTANTIATE_TEST_SUITE_P(Cases, SimFailingStreamTest,
                         ::testing::Values(Failing{0, 300, 300, true}, Failing{500, 300, 300, true},
                                           Failing{0, 0, 0, true}, Failing{200, 300, 200, false}));

TEST_F(SimStreamTest, StopEndsAnUnboundedStreamWithStopAndNothingAfter) {
    open_device(1000);
    auto stream = start(0, 0);
    ASSERT_NE(stream, nullptr);
    ASSERT_TRUE(recorder.wait_for_data_events(3));
    EXPECT_EQ(stream->stop(), 0);
    EXPECT_EQ(stream->wait_stop(), 0);

    auto const ended = recorder.snapshot();
    EXPECT_EQ(ended.stops, 1U);
    EXPECT_EQ(ended.bytes, expected_bytes(0, ended.bytes.size()));
    stream.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(recorder.snapshot().events_after_end, 0U);
}

// A slow stream sleeps between chunks; a stop request must cut that sleep
// short rather than wait for the next chunk (here about 17 minutes away).
TEST_F(SimStreamTest, StopWakesAProducerWaitingForItsNextChunk) {
    open_device(0.001);
    auto const stream = start(0, 0);
    ASSERT_NE(stream, nullptr);
    ASSERT_TRUE(recorder.wait_for_data_events(1));
    stream->stop();
    auto waited = std::async(std::launch::async, [&] { return stream->wait_stop(); });
    ASSERT_EQ(waited.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "stop did not wake the producer";
    EXPECT_EQ(waited.get(), 0);
    EXPECT_EQ(recorder.snapshot().data_events(), 1U);
    EXPECT_EQ(recorder.snapshot().stops, 1U);
}

TEST_F(SimStreamTest, DestroyingTheHandleMidStreamStopsItBeforeReturning) {
    open_device(1000);
    auto stream = start(0, 0);
    ASSERT_TRUE(recorder.wait_for_data_events(3));
    stream.reset();

    auto const at_destruction = recorder.snapshot();
    EXPECT_EQ(at_destruction.stops, 1U) << "the stream had not ended when its handle was gone";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto const later = recorder.snapshot();
    EXPECT_EQ(later.data_events(), at_destruction.data_events());
    EXPECT_EQ(later.events_after_end, 0U);
}

// A host may drop the device and keep reading a stream it started.
TEST_F(SimStreamTest, StreamOutlivesItsDevice) {
    open_device(1000);
    auto const stream = start(0, 0);
    ASSERT_TRUE(recorder.wait_for_data_events(1));
    device.reset();
    ASSERT_TRUE(recorder.wait_for_data_events(recorder.snapshot().data_events() + 3));
    stream->stop();
    EXPECT_EQ(stream->wait_stop(), 0);
    auto const record = recorder.snapshot();
    EXPECT_EQ(record.bytes, expected_bytes(0, record.bytes.size()));
}

TEST_F(SimStreamTest, ThrowingReceiverEndsTheStreamWithoutFurtherCalls) {
    open_device(0);
    auto const calls = std::make_shared<std::atomic<int>>(0);
    auto const stream = device->start_read_stream(
        0,
        [calls](::zelm::DataStream::Event&&) {
            ++*calls;
            throw std::runtime_error("receiver full");
        },
        0);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->wait_stop(), 1);
    EXPECT_EQ(calls->load(), 1);
}

TEST_F(SimStreamTest, NoStreamStartsOutsideMemoryOrWithoutReceiver) {
    open_device(0);
    EXPECT_EQ(start(memory_size, 10), nullptr);
    EXPECT_EQ(device->start_read_stream(0, ::zelm::DataStream::Callback{}, 10), nullptr);
    EXPECT_EQ(recorder.snapshot().data_events() + recorder.snapshot().stops, 0U);
}

}  // namespace
}  // namespace zelm::sim_test
