// Which Modbus units are lab-wide: a unit on a TCP bus is reachable from
// every host of the lab, so a host in a cluster owns it through the
// cluster; a unit on a serial line hangs off this machine only.
#include "modbus_test_support.hpp"

#include <etcd_peers.hpp>

#include <zelm/cluster.hpp>

#include <gmock/gmock.h>

namespace zelm::modbus_test {
namespace {

using ::testing::HasSubstr;

class LabWideUnits : public ModbusTest {
protected:
    ~LabWideUnits() override { cluster::leave(); }

    std::string keys() const {
        return etcd_.etcdctl({"get", "--prefix", "--keys-only", cluster::owners_prefix});
    }

    ModbusSimulator tcp_{Transport::tcp};
    ModbusSimulator rtu_{Transport::rtu};
    cluster_test::EtcdCluster etcd_;
};

TEST_F(LabWideUnits, TcpUnitsAreOwnedThroughTheClusterAndSerialUnitsAreNot) {
    use_config({{"buses", {bus_config(tcp_, {}, {1}), bus_config(rtu_, {}, {1})}}});
    auto const tcp_unit = description(tcp_.bus(), 1);
    auto const rtu_unit = description(rtu_.bus(), 1);
    EXPECT_TRUE(cluster::is_lab_wide(manager(), tcp_unit.dump()));
    EXPECT_FALSE(cluster::is_lab_wide(manager(), rtu_unit.dump()));

    cluster::join(etcd_.endpoints(), {.host_id = "host-a", .ttl = std::chrono::seconds(2)});
    auto const tcp_device = own(tcp_unit);
    auto const rtu_device = own(rtu_unit);
    EXPECT_TRUE(tcp_device->lab_wide());
    EXPECT_FALSE(rtu_device->lab_wide());
    auto const tcp_key = cluster::owner_key(manager().get_path(), tcp_unit.dump());
    EXPECT_EQ(keys(), tcp_key + "\n\n");
    EXPECT_THAT(etcd_.etcdctl({"get", "--print-value-only", tcp_key}), HasSubstr(R"("host":"host-a")"));
}

}  // namespace
}  // namespace zelm::modbus_test
