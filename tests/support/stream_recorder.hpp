// Recording a device stream's events as the producer thread delivers them,
// for tests of streams of every family.
#pragma once

#include <zelm/device.hpp>

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zelm::test {

// What a stream delivered so far.
struct StreamRecord {
    std::vector<unsigned char> bytes;  // data of both kinds, in order
    std::size_t owned_events = 0;
    std::size_t view_events = 0;
    std::size_t stops = 0;
    std::size_t errors = 0;
    std::string error_message;
    std::size_t events_after_end = 0;  // anything after the first Stop or Error

    std::size_t data_events() const { return owned_events + view_events; }
    bool ended() const { return stops + errors > 0; }
};

// Records a stream's events from the producer thread. The callback shares
// the record, so it stays valid whatever the test destroys first.
class StreamRecorder {
public:
    StreamRecorder();
    ::zelm::DataStream::Callback callback() const;
    StreamRecord snapshot() const;
    // Wait generously for a condition; false if it never came.
    bool wait_for_data_events(std::size_t count) const;
    bool wait_for_end() const;

private:
    struct Shared {
        mutable std::mutex mutex;
        std::condition_variable changed;
        StreamRecord record;
    };
    std::shared_ptr<Shared> shared_;
};

}  // namespace zelm::test
