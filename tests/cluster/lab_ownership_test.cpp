// Lab-wide ownership through the library's API in this process, against real
// etcd servers (and against endpoints where nothing listens); other hosts
// are lab_host processes.
#include "lab_test_support.hpp"

#include <zelm/cluster.hpp>
#include <zelm/holder.hpp>
#include <zelm/managed_device.hpp>
#include <zelm/scan.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace zelm::cluster_test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// ---------------------------------------------------------------- joining

struct BadJoin {
    char const* name;
    std::vector<std::string> endpoints;
    cluster::Options options;
    std::string message;  // what the error's message starts with

    friend void PrintTo(BadJoin const& row, std::ostream* out) { *out << row.name; }
};

class JoinValidation : public ::testing::TestWithParam<BadJoin> {};

TEST_P(JoinValidation, RejectsAndStaysOutOfTheCluster) {
    auto const& bad = GetParam();
    try {
        cluster::join(bad.endpoints, bad.options);
        ADD_FAILURE() << "joined";
    } catch (std::invalid_argument const& e) {
        EXPECT_THAT(e.what(), StartsWith(bad.message));
    }
    EXPECT_FALSE(cluster::joined());
    EXPECT_EQ(cluster::host_id(), "");
}

std::vector<std::string> const good_endpoint{"http://127.0.0.1:2379"};

INSTANTIATE_TEST_SUITE_P(
    Cases, JoinValidation,
    ::testing::Values(
        BadJoin{"NoEndpoint", {}, {.host_id = "a"}, "Bad cluster endpoint: none given"},
        BadJoin{"OtherScheme", {"ftp://127.0.0.1:2379"}, {.host_id = "a"},
                "Bad cluster endpoint: ftp://127.0.0.1:2379: not an http:// or https:// URL"},
        BadJoin{"NotAUrl", {"http://127.0.0.1:2379", "127.0.0.1:2379"}, {.host_id = "a"},
                "Bad cluster endpoint: 127.0.0.1:2379: "},
        BadJoin{"HostIdWithSlash", good_endpoint, {.host_id = "lab/a"}, "Bad cluster host id: lab/a"},
        BadJoin{"HostIdWithNewline", good_endpoint, {.host_id = "lab\na"}, "Bad cluster host id: lab\na"},
        BadJoin{"HostIdWithDelete", good_endpoint, {.host_id = "lab\x7f"}, "Bad cluster host id: lab\x7f"},
        BadJoin{"TtlBelowEtcdMinimum", good_endpoint, {.host_id = "a", .ttl = 1s},
                "Bad cluster time-to-live: 1 s (at least 2)"}),
    case_name);

struct EndpointList {
    char const* name;
    std::string list;
    std::vector<std::string> endpoints;

    friend void PrintTo(EndpointList const& row, std::ostream* out) { *out << row.name; }
};

class ParseEndpoints : public ::testing::TestWithParam<EndpointList> {};

TEST_P(ParseEndpoints, SplitsAtCommasDroppingEmptyEntries) {
    EXPECT_EQ(cluster::parse_endpoints(GetParam().list), GetParam().endpoints);
}

INSTANTIATE_TEST_SUITE_P(Cases, ParseEndpoints,
                         ::testing::Values(EndpointList{"Empty", "", {}}, EndpointList{"One", "http://a:1", {"http://a:1"}},
                                           EndpointList{"Two", "http://a:1,http://b:2", {"http://a:1", "http://b:2"}},
                                           EndpointList{"EmptyEntries", ",http://a:1,,http://b:2,",
                                                        {"http://a:1", "http://b:2"}},
                                           EndpointList{"OnlyCommas", ",,", {}}),
                         case_name);

// ---------------------------------------------------------- out of a cluster

using NotJoined = LabTest;

TEST_F(NotJoined, ClusterQueriesAreRefused) {
    auto const path = manager().get_path();
    EXPECT_THROW(cluster::find_lab_owner(path, lab_device), std::logic_error);
    EXPECT_THROW(cluster::lab_owners(), std::logic_error);
    EXPECT_THROW(cluster::wait_until_free(path, lab_device, 1ms), std::logic_error);
}

TEST_F(NotJoined, LabWideDevicesAreOwnedAndScannedLocally) {
    EXPECT_TRUE(cluster::is_lab_wide(manager(), lab_device));
    EXPECT_FALSE(cluster::is_lab_wide(manager(), local_device));
    for (auto const& result : scan_devices({sim_plugin})) {
        EXPECT_TRUE(std::holds_alternative<DeviceFound>(result));
    }
    auto const device = manager().open_managed_device(lab_device);
    EXPECT_FALSE(device->lab_wide());
    EXPECT_EQ(device->ownership_lost(), std::nullopt);
}

// ------------------------------------------------------------- in a cluster

class InCluster : public LabTest {
protected:
    void join() { cluster::join(cluster_.endpoints(), {.host_id = "host-a", .ttl = test_ttl}); }

    EtcdCluster cluster_;
};

std::string this_process() { return "host-a " + std::to_string(::getpid()); }

TEST_F(InCluster, LabWideDeviceIsOwnedThroughItsKeyUntilReleased) {
    join();
    auto device = manager().open_managed_device(lab_device);
    EXPECT_TRUE(device->lab_wide());
    auto const key = key_of(lab_device);
    EXPECT_EQ(etcd_holder(cluster_, key), this_process());
    auto const owner = cluster::find_lab_owner(manager().get_path(), lab_device);
    ASSERT_TRUE(owner);
    EXPECT_EQ(owner->host, "host-a");
    EXPECT_EQ(owner->pid, ::getpid());
    device.reset();
    EXPECT_EQ(etcd_holder(cluster_, key), "");
}

TEST_F(InCluster, LocalDeviceMakesNoKey) {
    join();
    auto const device = manager().open_managed_device(local_device);
    EXPECT_FALSE(device->lab_wide());
    EXPECT_EQ(cluster_.etcdctl({"get", "--prefix", "--keys-only", cluster::owners_prefix}), "");
}

void expect_held_by_host_b(std::optional<DeviceHolder> const& holder, pid_t pid) {
    ASSERT_TRUE(holder);
    EXPECT_EQ(holder->host, "host-b");
    EXPECT_EQ(holder->pid, pid);
    EXPECT_TRUE(holder->lab_wide);
    EXPECT_TRUE(holder->since);
    EXPECT_EQ(holder_text(holder), std::to_string(pid) + " (lab_host) on host-b");
}

TEST_F(InCluster, DeviceHeldOnAnotherHostIsOccupiedNamingTheHolder) {
    test::TempDir const machine_b;
    LabHost other(machine_b.path(), cluster_.endpoint_list(), "host-b", "hold");
    ASSERT_EQ(other.next_line(), "owned " + std::to_string(other.pid()));
    join();
    try {
        manager().open_managed_device(lab_device);
        ADD_FAILURE() << "owned a device held elsewhere";
    } catch (cluster::HeldElsewhereError const& e) {
        EXPECT_EQ(e.lab_owner().host, "host-b");
        EXPECT_EQ(e.lab_owner().pid, other.pid());
        EXPECT_EQ(e.owner(), std::nullopt);
        expect_held_by_host_b(holder_of(e), other.pid());
    }
    // Nothing holds its lock on this machine: only the key names the holder.
    expect_held_by_host_b(find_device_holder(manager().get_path(), lab_device), other.pid());
    auto const report = scan_devices_report({sim_plugin});
    ASSERT_EQ(report.devices.size(), 2U);
    expect_held_by_host_b(report.devices[0].holder, other.pid());
    auto const results = scan_devices({sim_plugin});
    ASSERT_EQ(results.size(), 2U);
    auto const* occupied = std::get_if<DeviceOccupied>(&results[0]);
    ASSERT_TRUE(occupied) << "the lab-wide device scanned as free";
    auto const holder = cluster::scanned_lab_owner(*occupied);
    ASSERT_TRUE(holder);
    EXPECT_EQ(holder->host, "host-b");
    EXPECT_EQ(holder->pid, other.pid());
    EXPECT_TRUE(std::holds_alternative<DeviceFound>(results[1]));
}

// Anyone may write under the prefix: a value that is no owner record still
// holds the device rather than leaving it free to two owners.
TEST_F(InCluster, ForeignValueUnderTheKeyCountsAsHeld) {
    cluster_.etcdctl({"put", key_of(lab_device), "not an owner record"});
    join();
    EXPECT_THROW(manager().open_managed_device(lab_device), cluster::HeldElsewhereError);
    auto const results = scan_devices({sim_plugin});
    ASSERT_FALSE(results.empty());
    EXPECT_TRUE(std::holds_alternative<DeviceOccupied>(results[0]));
    EXPECT_FALSE(cluster::wait_until_free(manager().get_path(), lab_device, 100ms));
}

// Records the loss callbacks; waits for the first.
class LossRecorder {
public:
    void operator()(std::string const& reason) {
        std::lock_guard const lock(mutex_);
        reasons_.push_back(reason);
        told_.notify_all();
    }
    std::vector<std::string> wait() {
        std::unique_lock lock(mutex_);
        told_.wait_for(lock, event_timeout, [this] { return !reasons_.empty(); });
        return reasons_;
    }

private:
    std::mutex mutex_;
    std::condition_variable told_;
    std::vector<std::string> reasons_;
};

// Every operation of the device interface, each of which a lost device must
// refuse before it reaches the device.
std::vector<std::pair<char const*, std::function<void(Device&)>>> const every_operation{
    {"set_register", [](Device& d) { d.set_register(0, 1, 0); }},
    {"send_registers", [](Device& d) { d.send_registers(); }},
    {"get_register", [](Device& d) { d.get_register(0); }},
    {"read_registers", [](Device& d) { d.read_registers(); }},
    {"trigger", [](Device& d) { d.trigger(0, 0); }},
    {"write",
     [](Device& d) {
         unsigned char const byte = 0x5a;
         d.write(0, 1, &byte);
     }},
    {"read",
     [](Device& d) {
         unsigned char byte = 0;
         d.read(0, 1, &byte);
     }},
    {"start_read_stream", [](Device& d) { d.start_read_stream(0, [](auto const&) {}, 16); }},
    {"get_status", [](Device& d) { d.get_status(); }},
    {"get_info", [](Device& d) { d.get_info(); }},
};

unsigned char memory_byte(DeviceManager& manager, unsigned int address) {
    auto const device = manager.open_managed_device(lab_device);
    unsigned char byte = 0;
    EXPECT_EQ(device->read(address, 1, &byte), 0);
    return byte;
}

TEST_F(InCluster, RevokedLeaseLosesTheDeviceAndStopsEveryOperation) {
    join();
    auto device = manager().open_managed_device(lab_device);
    LossRecorder losses;
    device->on_ownership_lost(std::ref(losses));
    ASSERT_THAT(cluster_.etcdctl({"lease", "list"}), StartsWith("found 1 leases\n"));
    revoke_every_lease(cluster_);

    auto const reasons = losses.wait();
    ASSERT_EQ(reasons.size(), 1U);
    EXPECT_EQ(device->ownership_lost(), reasons[0]);
    for (auto const& [name, operation] : every_operation) {
        try {
            operation(*device);
            ADD_FAILURE() << name << " reached the device";
        } catch (cluster::OwnershipLostError const& e) {
            EXPECT_EQ(e.what(), "Lab-wide ownership lost: " + reasons[0]) << name;
        }
    }
    EXPECT_EQ(losses.wait().size(), 1U) << "the loss was told more than once";

    device.reset();
    cluster::leave();
    EXPECT_EQ(memory_byte(manager(), 0), 0) << "the write reached the device";
}

TEST_F(InCluster, LeavingDeletesTheKeysAndLosesTheDevices) {
    join();
    auto const device = manager().open_managed_device(lab_device);
    cluster::leave();
    EXPECT_EQ(cluster_.etcdctl({"get", "--prefix", "--keys-only", cluster::owners_prefix}), "");
    EXPECT_TRUE(device->ownership_lost());
    EXPECT_THROW(device->get_info(), cluster::OwnershipLostError);
}

// ------------------------------------------------------ an unreachable cluster

using UnreachableCluster = LabTest;

TEST_F(UnreachableCluster, AcquisitionFailsHoldingNothing) {
    RefusingEndpoint const nobody;
    cluster::join({nobody.url()}, {.host_id = "host-a", .ttl = test_ttl});
    EXPECT_THROW(manager().open_managed_device(lab_device), cluster::UnavailableError);
    cluster::leave();
    EXPECT_NO_THROW(manager().open_managed_device(lab_device)) << "the failed acquisition kept its local lock";
}

TEST_F(UnreachableCluster, ScanReportsLabWideDevicesUnavailableAndLocalOnesAsUsual) {
    RefusingEndpoint const nobody;
    cluster::join({nobody.url()}, {.host_id = "host-a", .ttl = test_ttl});
    auto const results = scan_devices({sim_plugin});
    ASSERT_EQ(results.size(), 2U);
    auto const* failed = std::get_if<DeviceQueryFailed>(&results[0]);
    ASSERT_TRUE(failed) << "the lab-wide device was not reported as failed";
    EXPECT_THAT(failed->error, StartsWith("Cluster unavailable: "));
    EXPECT_TRUE(std::holds_alternative<DeviceFound>(results[1]));
}

}  // namespace
}  // namespace zelm::cluster_test
