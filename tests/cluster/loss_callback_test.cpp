// The hosts' lost-ownership callbacks run on a thread of the library's own:
// one may destroy its device and leave the cluster, or block, and no other
// device suffers for it.
#include "lab_test_support.hpp"

#include <zelm/cluster.hpp>
#include <zelm/managed_device.hpp>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

namespace zelm::cluster_test {
namespace {

using namespace std::chrono_literals;

// A latch the test opens once.
class Latch {
public:
    void open() {
        std::lock_guard const lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    bool wait(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

// A second lab-wide device, so that one can be owned while the first is
// lost.
constexpr char const* second_lab_device = R"({"serial":"LAB-2"})";

std::string two_lab_devices(std::filesystem::path const& dir) {
    auto const file = dir / "two_lab_devices.json";
    nlohmann::json devices = nlohmann::json::array();
    for (auto const* description : {lab_device, second_lab_device}) {
        devices.push_back({{"description", nlohmann::json::parse(description)}, {"lab_wide", true}});
    }
    std::ofstream(file) << nlohmann::json{{"devices", devices}}.dump();
    return file.native();
}

class LossCallback : public LabTest {
protected:
    test::TempDir const dir_;
    test::ScopedEnv const family_{"ZELM_SIM_CONFIG", two_lab_devices(dir_.path())};
    EtcdCluster cluster_;
};

TEST_F(LossCallback, MayDestroyItsDeviceAndLeaveTheCluster) {
    cluster::join(cluster_.endpoints(), {.host_id = "host-a", .ttl = test_ttl});
    std::mutex mutex;
    std::unique_ptr<ManagedDevice> device = manager().open_managed_device(lab_device);
    Latch done;
    device->on_ownership_lost([&](std::string const&) {
        {
            std::lock_guard const lock(mutex);
            device.reset();
        }
        cluster::leave();
        done.open();
    });
    revoke_every_lease(cluster_);
    ASSERT_TRUE(done.wait(event_timeout));
    EXPECT_FALSE(cluster::joined());
    std::lock_guard const lock(mutex);
    EXPECT_EQ(device, nullptr);
}

// One lease at a time: the device lost first was owned under the lease
// that came before the second device's.
TEST_F(LossCallback, ThatBlocksCostsNoOtherDevice) {
    cluster::join(cluster_.endpoints(), {.host_id = "host-a", .ttl = test_ttl});
    auto const first = manager().open_managed_device(lab_device);
    Latch called;
    Latch release;
    first->on_ownership_lost([&](std::string const&) {
        called.open();
        release.wait(event_timeout);
    });
    revoke_every_lease(cluster_);
    ASSERT_TRUE(called.wait(event_timeout));

    auto const second = manager().open_managed_device(second_lab_device);
    // Three times the time-to-live: the second device's lease must have been
    // renewed meanwhile.
    std::this_thread::sleep_for(3 * test_ttl);
    EXPECT_EQ(second->ownership_lost(), std::nullopt);
    EXPECT_NO_THROW(second->get_info());
    release.open();
}

}  // namespace
}  // namespace zelm::cluster_test
