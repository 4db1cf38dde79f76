// The stream's producer loop: pacing, chunking, the alternating event kinds
// and the single terminal event.
#include "sim_stream.hpp"

#include <algorithm>
#include <chrono>
#include <utility>

namespace zelm::sim {

namespace Events = ::zelm::DataStream::Events;

SimStream::SimStream(StreamPlan plan, ::zelm::DataStream::Callback callback)
    : plan_(std::move(plan)),
      callback_(std::move(callback)),
      producer_([this](std::stop_token const& stop) { produce(stop); }) {}

int SimStream::stop() {
    producer_.request_stop();
    return 0;
}

int SimStream::wait_stop() {
    if (std::this_thread::get_id() == producer_.get_id()) {
        return 1;  // the producer would wait for itself
    }
    std::unique_lock lock(mutex_);
    ended_.wait(lock, [this] { return ending_ != Ending::running; });
    return ending_ == Ending::stopped ? 0 : 1;
}

void SimStream::produce(std::stop_token const& stop) {
    using Clock = std::chrono::steady_clock;
    bool const throttled = plan_.chunks_per_second > 0;
    auto const period = throttled ? std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(1.0 / plan_.chunks_per_second))
                                  : Clock::duration::zero();
    auto deadline = Clock::now();
    std::uint64_t delivered = 0;
    for (std::uint64_t chunk = 0; !stop.stop_requested(); ++chunk) {
        if (plan_.error && delivered >= plan_.error_after) {
            call(Events::Error{*plan_.error});
            finish(Ending::failed);
            return;
        }
        if (plan_.total != 0 && delivered >= plan_.total) {
            break;
        }
        if (chunk != 0 && throttled && !pace(stop, deadline += period)) {
            break;
        }
        auto const length = next_length(delivered);
        if (!deliver_data(chunk, delivered, length)) {
            finish(Ending::failed);
            return;
        }
        delivered += length;
    }
    finish(call(Events::Stop{}) ? Ending::stopped : Ending::failed);
}

// A chunk never crosses the end of a bounded stream or the injected error's
// position, so the receiver gets exactly that many bytes.
std::size_t SimStream::next_length(std::uint64_t delivered) const {
    std::uint64_t length = plan_.chunk_size;
    if (plan_.total != 0) {
        length = std::min(length, plan_.total - delivered);
    }
    if (plan_.error) {
        length = std::min(length, plan_.error_after - delivered);
    }
    return static_cast<std::size_t>(length);
}

void SimStream::fill(std::span<unsigned char> chunk, std::uint64_t offset) const {
    auto const& source = plan_.source;
    auto position = static_cast<std::size_t>(offset % source.size());
    for (std::size_t done = 0; done < chunk.size();) {
        auto const count = std::min(chunk.size() - done, source.size() - position);
        std::copy_n(source.begin() + static_cast<std::ptrdiff_t>(position), count,
                    chunk.begin() + static_cast<std::ptrdiff_t>(done));
        done += count;
        position = 0;
    }
}

bool SimStream::deliver_data(std::uint64_t chunk_index, std::uint64_t offset, std::size_t length) {
    if (chunk_index % 2 == 0) {
        std::vector<unsigned char> data(length);
        fill(data, offset);
        return call(Events::OwnedData{std::move(data)});
    }
    view_buffer_.resize(length);
    fill(view_buffer_, offset);
    return call(Events::DataView{view_buffer_});
}

bool SimStream::call(::zelm::DataStream::Event&& event) {
    try {
        callback_(std::move(event));
        return true;
    } catch (...) {
        return false;  // a failing receiver ends the stream; there is nobody to tell
    }
}

// Sleeps until `deadline`; false when a stop request came first.
bool SimStream::pace(std::stop_token const& stop, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    pacing_.wait_until(lock, stop, deadline, [] { return false; });
    return !stop.stop_requested();
}

void SimStream::finish(Ending ending) {
    std::lock_guard lock(mutex_);
    ending_ = ending;
    ended_.notify_all();
}

}  // namespace zelm::sim
