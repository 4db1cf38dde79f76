#include "stream_recorder.hpp"

#include <chrono>
#include <variant>

namespace zelm::test {
namespace {

// Streams here run in milliseconds; the margin is for loaded machines.
constexpr auto generous_wait = std::chrono::seconds(60);

template <typename... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};

void record_event(StreamRecord& record, ::zelm::DataStream::Event&& event) {
    if (record.ended()) {
        ++record.events_after_end;
        return;
    }
    namespace Events = ::zelm::DataStream::Events;
    std::visit(Overloaded{
                   [&](Events::OwnedData& data) {
                       record.bytes.insert(record.bytes.end(), data.data.begin(), data.data.end());
                       ++record.owned_events;
                   },
                   [&](Events::DataView& view) {
                       record.bytes.insert(record.bytes.end(), view.data.begin(), view.data.end());
                       ++record.view_events;
                   },
                   [&](Events::Stop&) { ++record.stops; },
                   [&](Events::Error& error) {
                       ++record.errors;
                       record.error_message = error.message;
                   },
               },
               event);
}

}  // namespace

StreamRecorder::StreamRecorder() : shared_(std::make_shared<Shared>()) {}

::zelm::DataStream::Callback StreamRecorder::callback() const {
    return [shared = shared_](::zelm::DataStream::Event&& event) {
        std::lock_guard lock(shared->mutex);
        record_event(shared->record, std::move(event));
        shared->changed.notify_all();
    };
}

StreamRecord StreamRecorder::snapshot() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->record;
}

bool StreamRecorder::wait_for_data_events(std::size_t count) const {
    std::unique_lock lock(shared_->mutex);
    return shared_->changed.wait_for(lock, generous_wait, [&] { return shared_->record.data_events() >= count; });
}

bool StreamRecorder::wait_for_end() const {
    std::unique_lock lock(shared_->mutex);
    return shared_->changed.wait_for(lock, generous_wait, [&] { return shared_->record.ended(); });
}

}  // namespace zelm::test
