#include "poll_stream.hpp"

#include <algorithm>
#include <utility>

namespace zelm::modbus {

namespace Events = ::zelm::DataStream::Events;

PollStream::PollStream(std::shared_ptr<Connection> connection, int unit, RegisterBlock block,
                       std::chrono::milliseconds interval, ::zelm::DataStream::Callback&& callback)
    : connection_(std::move(connection)),
      unit_(unit),
      block_(block),
      interval_(interval),
      callback_(std::move(callback)),
      reading_(2 * static_cast<std::size_t>(block.count)),
      thread_([this](std::stop_token stop) { run(stop); }) {}

PollStream::~PollStream() {
    stop();
    wait_stop();
}

int PollStream::stop() {
    thread_.request_stop();
    return 0;
}

int PollStream::wait_stop() {
    std::lock_guard lock(join_mutex_);
    if (thread_.joinable()) {
        thread_.join();
    }
    return 0;
}

bool PollStream::pause_until(std::stop_token const& stop, std::chrono::steady_clock::time_point until) {
    std::unique_lock lock(mutex_);
    wake_.wait_until(lock, stop, until, [] { return false; });
    return stop.stop_requested();
}

void PollStream::run(std::stop_token const& stop) {
    auto next = std::chrono::steady_clock::now();
    while (!stop.stop_requested()) {
        try {
            read_block(*connection_, unit_, block_, reading_);
        } catch (std::exception const& error) {
            callback_(Events::Error{error.what()});
            return;
        }
        callback_(Events::DataView{reading_});
        // A fixed rate; after a slow read, the next one starts at once
        // rather than catching up with a burst.
        next = std::max(next + interval_, std::chrono::steady_clock::now());
        if (pause_until(stop, next)) {
            break;
        }
    }
    callback_(Events::Stop{});
}

}  // namespace zelm::modbus
