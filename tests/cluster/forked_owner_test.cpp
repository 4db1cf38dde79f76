// A forked child inherits its parent's lab-wide devices but not the lease
// they are owned under: whatever the child does with its copy, the parent
// stays the owner, and the child's copy counts as lost.
#include "lab_test_support.hpp"

#include <zelm/cluster.hpp>
#include <zelm/managed_device.hpp>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <functional>

namespace zelm::cluster_test {
namespace {

struct ChildEnd {
    char const* name;
    // Ends the child with `status`, doing with its copy of the device what
    // the row says.
    std::function<void(std::unique_ptr<ManagedDevice> copy, int status)> end;

    friend void PrintTo(ChildEnd const& row, std::ostream* out) { *out << row.name; }
};

// What the child's copy tells it: 0 when it reports the ownership lost and
// refuses to reach the device.
int lost_in_child(ManagedDevice& copy) {
    int status = copy.ownership_lost() ? 0 : 1;
    try {
        copy.get_info();
        status |= 2;
    } catch (cluster::OwnershipLostError const&) {
    }
    bool told = false;
    copy.on_ownership_lost([&told](std::string const&) { told = true; });
    return status | (told ? 0 : 4);
}

class ForkedOwner : public LabTest, public ::testing::WithParamInterface<ChildEnd> {
protected:
    EtcdCluster cluster_;
    test::TempDir const machine_b;
};

TEST_P(ForkedOwner, ChildsEndLeavesTheParentTheOwner) {
    cluster::join(cluster_.endpoints(), {.host_id = "host-a", .ttl = test_ttl});
    auto device = manager().open_managed_device(lab_device);
    auto const key = key_of(lab_device);
    auto const holder = "host-a " + std::to_string(::getpid());
    ASSERT_EQ(etcd_holder(cluster_, key), holder);

    int const status = test::run_in_child([&] {
        int const lost = lost_in_child(*device);
        GetParam().end(std::move(device), lost);
        return 125;  // not reached
    });
    EXPECT_EQ(status, 0) << "the child's copy did not count as lost (bits: 1 not lost, 2 reached, 4 not told)";

    EXPECT_EQ(etcd_holder(cluster_, key), holder) << "the child's end deleted its parent's key";
    EXPECT_EQ(device->ownership_lost(), std::nullopt);
    LabHost other(machine_b.path(), cluster_.endpoint_list(), "host-b", "hold");
    EXPECT_EQ(other.next_line(), "occupied " + holder);
}

// Kept for the process's exit, which destroys it as any static object.
std::unique_ptr<ManagedDevice> kept_until_exit;

INSTANTIATE_TEST_SUITE_P(
    Cases, ForkedOwner,
    ::testing::Values(ChildEnd{"ClosesItsCopy",
                               [](std::unique_ptr<ManagedDevice> copy, int status) {
                                   copy.reset();
                                   ::_exit(status);
                               }},
                      ChildEnd{"ExitsHoldingItsCopy",
                               [](std::unique_ptr<ManagedDevice> copy, int status) {
                                   kept_until_exit = std::move(copy);
                                   std::exit(status);
                               }},
                      ChildEnd{"LeavesTheClusterAndExits",
                               [](std::unique_ptr<ManagedDevice> copy, int status) {
                                   cluster::leave();
                                   copy.reset();
                                   std::exit(status);
                               }}),
    case_name);

}  // namespace
}  // namespace zelm::cluster_test
