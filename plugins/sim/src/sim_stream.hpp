// A simulated read stream: a producer thread that delivers a device's memory
// as data events at the configured pace, like a DMA engine filling buffers.
#pragma once

#include <zelm/device.hpp>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace zelm::sim {

// Everything a stream delivers, fixed when it starts, so that the stream
// depends on nothing of the device and may outlive it.
struct StreamPlan {
    std::vector<unsigned char> source;  // delivered cyclically; never empty
    std::uint64_t total = 0;            // bytes to deliver; 0: until stopped
    std::size_t chunk_size = 1024;      // bytes per data event
    double chunks_per_second = 0;       // 0: as fast as the receiver takes them
    std::optional<std::string> error;   // injected fault: end with this Error ...
    std::uint64_t error_after = 0;      // ... once this many bytes were delivered
};

// Events arrive on the producer thread, one at a time: data events alternate
// between OwnedData and DataView, and exactly one Stop or Error ends the
// stream. Stop follows the last byte of a bounded stream or a stop request;
// Error follows an injected fault. A callback that throws ends the stream at
// once, without further events.
//
// The destructor asks the stream to stop and waits for the producer, so no
// callback runs once the handle is gone. The callback must not destroy the
// handle or call wait_stop on its own thread (wait_stop then fails with 1).
class SimStream final : public Device::DataStream {
public:
    SimStream(StreamPlan plan, ::zelm::DataStream::Callback callback);
    ~SimStream() override = default;
    SimStream(SimStream const&) = delete;
    SimStream& operator=(SimStream const&) = delete;

    // Asks the stream to end; returns 0. The producer then delivers Stop.
    int stop() override;
    // Waits until the last event was delivered. Returns 0 when the stream
    // ended with Stop, 1 when it ended with Error, a throwing callback, or
    // was called from the callback itself.
    int wait_stop() override;

private:
    enum class Ending { running, stopped, failed };

    void produce(std::stop_token const& stop);
    std::size_t next_length(std::uint64_t delivered) const;
    void fill(std::span<unsigned char> chunk, std::uint64_t offset) const;
    bool deliver_data(std::uint64_t chunk_index, std::uint64_t offset, std::size_t length);
    bool call(::zelm::DataStream::Event&& event);
    bool pace(std::stop_token const& stop, std::chrono::steady_clock::time_point deadline);
    void finish(Ending ending);

    StreamPlan plan_;
    ::zelm::DataStream::Callback callback_;
    std::vector<unsigned char> view_buffer_;  // backs DataView events
    std::mutex mutex_;
    std::condition_variable_any pacing_;  // woken early by a stop request
    std::condition_variable ended_;
    Ending ending_ = Ending::running;
    // Last member: it starts once everything above exists, and its destructor
    // (stop request and join) runs before any of it is destroyed.
    std::jthread producer_;
};

}  // namespace zelm::sim
