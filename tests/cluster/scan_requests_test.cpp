// A scan asks the cluster once, however many lab-wide devices it meets, and
// not at all when it meets none: counted by the etcd servers themselves.
#include "etcd_peers.hpp"
#include "test_support.hpp"

#include <zelm/cluster.hpp>
#include <zelm/managed_device.hpp>
#include <zelm/scan.hpp>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace zelm::cluster_test {
namespace {

std::filesystem::path const sim_plugin{ZELM_SIM_PLUGIN};

// `count` devices "NET-<i>" of which every `every`-th is lab-wide (none
// when `every` is 0).
nlohmann::json sim_config(int count, int every) {
    auto devices = nlohmann::json::array();
    for (int i = 0; i < count; ++i) {
        devices.push_back({{"description", {{"serial", "NET-" + std::to_string(i)}}},
                           {"lab_wide", every != 0 && i % every == 0}});
    }
    return {{"devices", devices}};
}

class ScanRequests : public testing::Test {
protected:
    void SetUp() override {
        cluster_.emplace();
        cluster::join(cluster_->endpoints(), {.host_id = "scan-host", .ttl = std::chrono::seconds(2)});
    }
    void TearDown() override { cluster::leave(); }

    // The sim plug-in copied under `name` with `config` beside it, where a
    // copy finds its own devices.
    std::filesystem::path plugin(std::string const& name, nlohmann::json const& config) {
        auto const path = dir_.path() / name;
        std::filesystem::copy_file(sim_plugin, path);
        std::ofstream(std::filesystem::path(path).replace_extension(".json")) << config.dump();
        return path;
    }

    test::ScopedTmpdir tmpdir_;
    test::TempDir dir_;
    std::optional<EtcdCluster> cluster_;
};

TEST_F(ScanRequests, OneRangeRequestServesEveryLabWideDeviceOfEveryPlugin) {
    auto const first = plugin("first_manager.so", sim_config(40, 4));
    auto const second = plugin("second_manager.so", sim_config(40, 5));
    auto const before = cluster_->served("Range");
    auto const results = scan_devices({first, second});
    EXPECT_EQ(cluster_->served("Range") - before, 1);
    EXPECT_EQ(results.size(), 80U);
}

TEST_F(ScanRequests, AScanWithoutLabWideDevicesAsksNothing) {
    auto const local = plugin("local_manager.so", sim_config(40, 0));
    auto const before = cluster_->served("Range");
    scan_devices({local});
    EXPECT_EQ(cluster_->served("Range"), before);
}

TEST_F(ScanRequests, AHeldDeviceIsOccupiedWithItsHolderAndTheOthersAreFound) {
    auto const path = plugin("lab_manager.so", sim_config(4, 2));
    auto const held = get_device_manager(path)->open_managed_device(R"({"serial":"NET-0"})");
    ASSERT_TRUE(held->lab_wide());
    auto const results = scan_devices({path});
    ASSERT_EQ(results.size(), 4U);
    auto const* occupied = std::get_if<DeviceOccupied>(&results[0]);
    ASSERT_NE(occupied, nullptr);
    auto const holder = cluster::scanned_lab_owner(*occupied);
    ASSERT_TRUE(holder.has_value());
    EXPECT_EQ(holder->host, "scan-host");
    EXPECT_EQ(holder->pid, static_cast<int>(getpid()));
    for (std::size_t i = 1; i < results.size(); ++i) {
        EXPECT_TRUE(std::holds_alternative<DeviceFound>(results[i])) << i;
    }
}

// A host that forks: the child inherits the membership but not the lease.
// It can scan, cannot own a lab-wide device, and when it ends as a process
// does (static destructors and all) its parent still owns its devices.
TEST_F(ScanRequests, AForkedChildScansButNeitherUsesNorEndsItsParentsLease) {
    auto const path = plugin("lab_manager.so", sim_config(2, 1));
    auto const held = get_device_manager(path)->open_managed_device(R"({"serial":"NET-0"})");
    int const status = test::run_in_child([&]() -> int {
        auto const results = scan_devices({path});
        bool const scanned = results.size() == 2 && std::holds_alternative<DeviceOccupied>(results[0]) &&
                             std::holds_alternative<DeviceFound>(results[1]);
        bool refused = false;
        try {
            get_device_manager(path)->open_managed_device(R"({"serial":"NET-1"})");
        } catch (cluster::UnavailableError const&) {
            refused = true;
        }
        std::exit(scanned && refused ? 0 : 1);
    });
    EXPECT_EQ(status, 0);
    EXPECT_NE(cluster_->etcdctl({"get", "--prefix", "--keys-only", cluster::owners_prefix}), "")
        << "the child's end revoked its parent's lease";
    EXPECT_FALSE(held->ownership_lost().has_value());
}

}  // namespace
}  // namespace zelm::cluster_test
