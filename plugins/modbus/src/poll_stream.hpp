// A read stream of a Modbus device: reads one register block at the bus's
// poll interval on a thread of its own and hands each reading to the
// callback as a DataView (big-endian words). The first failed read ends the
// stream with an Error naming the failure; stop() ends it with Stop. The
// callback runs on the stream's thread and is never called after Stop or
// Error. The stream keeps its connection, not its device, so it may outlive
// the device that started it.
#pragma once

#include "connection.hpp"
#include "register_block.hpp"

#include <zelm/device.hpp>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace zelm::modbus {

class PollStream final : public Device::DataStream {
public:
    PollStream(std::shared_ptr<Connection> connection, int unit, RegisterBlock block,
               std::chrono::milliseconds interval, ::zelm::DataStream::Callback&& callback);
    // Stops the stream and waits for its thread.
    ~PollStream() override;
    PollStream(PollStream const&) = delete;
    PollStream& operator=(PollStream const&) = delete;

    // Asks the stream to end; returns 0.
    int stop() override;
    // Waits until the stream has ended (after stop(), or after an Error);
    // returns 0. Must not be called from the callback.
    int wait_stop() override;

private:
    void run(std::stop_token const& stop);
    // Waits until `until` or a stop request; true when stopped.
    bool pause_until(std::stop_token const& stop, std::chrono::steady_clock::time_point until);

    std::shared_ptr<Connection> connection_;
    int unit_;
    RegisterBlock block_;
    std::chrono::milliseconds interval_;
    ::zelm::DataStream::Callback callback_;
    std::vector<unsigned char> reading_;
    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::mutex join_mutex_;  // one joiner at a time
    std::jthread thread_;    // last: started once everything else is set up
};

}  // namespace zelm::modbus
