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

}  // namespace
}  // namespace zelm::cluster_test
