// A lab-wide device's read streams end with its ownership: stopped, one
// Error naming the loss, and no data after it, however the loss comes.
#include "lab_test_support.hpp"

#include <zelm/cluster.hpp>
#include <zelm/managed_device.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <variant>

namespace zelm::cluster_test {
namespace {

using namespace std::chrono_literals;
using ::testing::StartsWith;

namespace Events = DataStream::Events;

// What a stream delivered: data counted, the ends it reported, and whether
// data came after an end.
class StreamRecord {
public:
    DataStream::Callback callback() {
        return [this](DataStream::Event&& event) {
            std::lock_guard const lock(mutex_);
            if (auto const* error = std::get_if<Events::Error>(&event)) {
                ends_.push_back("Error: " + error->message);
            } else if (std::holds_alternative<Events::Stop>(event)) {
                ends_.push_back("Stop");
            } else {
                data_after_end_ = data_after_end_ || !ends_.empty();
                ++chunks_;
            }
            changed_.notify_all();
        };
    }
    void wait_for_data() {
        std::unique_lock lock(mutex_);
        ASSERT_TRUE(changed_.wait_for(lock, event_timeout, [this] { return chunks_ > 0; }));
    }
    std::vector<std::string> wait_for_end() {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, event_timeout, [this] { return !ends_.empty(); });
        return ends_;
    }
    std::vector<std::string> ends() {
        std::lock_guard const lock(mutex_);
        return ends_;
    }
    bool data_after_end() {
        std::lock_guard const lock(mutex_);
        return data_after_end_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    long chunks_ = 0;
    std::vector<std::string> ends_;
    bool data_after_end_ = false;
};

struct Loss {
    char const* name;
    std::function<void(EtcdCluster const&)> cause;
    char const* reason;  // how the Error's message starts

    friend void PrintTo(Loss const& row, std::ostream* out) { *out << row.name; }
};

class LostStream : public LabTest, public ::testing::WithParamInterface<Loss> {
protected:
    // Joins, owns the lab-wide device and streams it into record_.
    void start_streaming() {
        cluster::join(cluster_.endpoints(), {.host_id = "host-a", .ttl = test_ttl});
        device_ = manager().open_managed_device(lab_device);
        stream_ = device_->start_read_stream(0, record_.callback(), 0);
        ASSERT_TRUE(stream_);
    }

    EtcdCluster cluster_;
    StreamRecord record_;  // outlives the stream that calls it
    std::unique_ptr<ManagedDevice> device_;
    std::unique_ptr<Device::DataStream> stream_;
};

TEST_P(LostStream, EndsWithOneErrorNamingTheLossAndNoDataAfter) {
    ASSERT_NO_FATAL_FAILURE(start_streaming());
    record_.wait_for_data();

    GetParam().cause(cluster_);
    auto const ends = record_.wait_for_end();
    ASSERT_EQ(ends.size(), 1U);
    EXPECT_THAT(ends[0], StartsWith(std::string("Error: Lab-wide ownership lost: ") + GetParam().reason));
    // The stream itself was stopped: waiting for its end returns.
    auto waited = std::async(std::launch::async, [this] { return stream_->wait_stop(); });
    if (waited.wait_for(event_timeout) != std::future_status::ready) {
        ADD_FAILURE() << "the stream was not stopped";
        stream_->stop();
    }
    waited.get();
    EXPECT_EQ(record_.ends(), ends) << "more than one end";
    EXPECT_FALSE(record_.data_after_end());
}

INSTANTIATE_TEST_SUITE_P(Cases, LostStream,
                         ::testing::Values(Loss{"LeftTheCluster", [](EtcdCluster const&) { cluster::leave(); },
                                                "left the cluster"},
                                           Loss{"LeaseRevoked", revoke_every_lease, "lease "}),
                         case_name);

// A stream wrapper that outlives its device holds no lock, lab-wide or not:
// the device is free for others while it exists.
TEST_F(LostStream, StreamOutlivingItsDeviceHoldsNoOwnership) {
    ASSERT_NO_FATAL_FAILURE(start_streaming());
    device_.reset();
    EXPECT_EQ(etcd_holder(cluster_, key_of(lab_device)), "");
    test::TempDir const machine_b;
    LabHost other(machine_b.path(), cluster_.endpoint_list(), "host-b", "hold");
    EXPECT_EQ(other.next_line(), "owned " + std::to_string(other.pid()));
}

// An owner stopped past its lease resumes to find its stream ended: not one
// chunk of the device, now another host's, reaches it.
// The next line that is not one of the library's log lines, which go to
// standard output too.
std::string next_event(LabHost& host) {
    auto line = host.next_line();
    while (line.starts_with("[")) {
        line = host.next_line();
    }
    return line;
}

class StoppedOwner : public LabTest {
protected:
    EtcdCluster const cluster;
    test::TempDir const machine_a;
    test::TempDir const machine_b;
};

TEST_F(StoppedOwner, StreamDeliversNoDataOnceResumed) {
    LabHost owner(machine_a.path(), cluster.endpoint_list(), "host-a", "stream");
    ASSERT_EQ(next_event(owner), "owned " + std::to_string(owner.pid()));
    for (std::string count = "chunks 0"; count == "chunks 0"; count = next_event(owner)) {
        owner.program().signal(SIGUSR1);  // until data flows
    }
    owner.program().signal(SIGSTOP);
    auto const deadline = std::chrono::steady_clock::now() + event_timeout;
    while (!cluster.etcdctl({"get", "--prefix", "--keys-only", cluster::owners_prefix}).empty()) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the stopped owner's key stayed";
        std::this_thread::sleep_for(20ms);
    }
    LabHost taker(machine_b.path(), cluster.endpoint_list(), "host-b", "hold");
    ASSERT_EQ(next_event(taker), "owned " + std::to_string(taker.pid()));

    // The count is asked for before the owner runs again.
    owner.program().signal(SIGUSR1);
    owner.program().signal(SIGCONT);
    std::set<std::string> kinds;
    std::string chunks;
    for (int line = 0; line < 3; ++line) {
        auto const text = next_event(owner);
        kinds.insert(text.substr(0, text.find_first_of(": ")));
        if (text.starts_with("chunks ")) {
            chunks = text;
        }
        if (text.starts_with("stream ")) {
            EXPECT_THAT(text, StartsWith("stream error: Lab-wide ownership lost: "));
        }
    }
    EXPECT_EQ(kinds, (std::set<std::string>{"lost", "stream", "chunks"})) << owner.program().out();
    std::this_thread::sleep_for(300ms);
    owner.program().signal(SIGUSR1);
    EXPECT_EQ(next_event(owner), chunks) << "data reached the resumed owner after its loss";
    EXPECT_EQ(owner.program().stop(event_timeout), 0);
    EXPECT_EQ(taker.program().stop(event_timeout), 0);
}

}  // namespace
}  // namespace zelm::cluster_test
