// Which Modbus units are lab-wide: a unit on a TCP bus is reachable from
// every host of the lab, so a host in a cluster owns it through the
// cluster; a unit on a serial line hangs off this machine only.
#include "modbus_test_support.hpp"

#include <etcd_peers.hpp>

#include <zelm/cluster.hpp>

#include <gmock/gmock.h>

#include <fstream>

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

#ifdef ZELM_LAB_HOST

// A host of the lab of its own: a TMPDIR (so local locks of other hosts do
// not meet its own), a host id and a configuration; each action is a run of
// lab_host (tests/cluster/lab_host.cpp).
class Host {
public:
    Host(std::string id, std::string endpoints, nlohmann::json const& config)
        : id_(std::move(id)), endpoints_(std::move(endpoints)) {
        std::ofstream(machine_.path() / "modbus.json") << config.dump();
    }

    test::RunningProgram run(std::string const& action, std::string const& description = "-") const {
        auto const machine = machine_.path().native();
        return test::RunningProgram({"/usr/bin/env", "TMPDIR=" + machine, "XDG_RUNTIME_DIR=" + machine,
                                     "ZELM_MODBUS_CONFIG=" + machine + "/modbus.json", ZELM_LAB_HOST, endpoints_, id_,
                                     "2", plugin_path.native(), description, action});
    }

private:
    test::TempDir machine_;
    std::string id_;
    std::string endpoints_;
};

// The lines lab_host prints, bounded so that a broken case fails instead of
// hanging.
std::string next_line(test::RunningProgram& host) {
    auto line = host.read_line(std::chrono::seconds(60));
    EXPECT_TRUE(line.has_value()) << "lab_host printed no line in time; its errors: " << host.err();
    return line.value_or("");
}

// "found <description>" or "occupied <description> <host>": the description.
std::string description_in(std::string const& line) {
    auto const start = line.find(' ') + 1;
    return line.substr(start, line.find(' ', start) - start);
}

// Two hosts that spell one server differently each own what their own scan
// lists: one unit, one key, and the second host is refused it.
TEST_F(LabWideUnits, OneServerSpelledTwoWaysIsOwnedByOneHost) {
    auto const config_naming = [&](std::string const& host) {
        auto bus = bus_config(tcp_, {}, {1});
        bus["tcp"] = host + ":" + std::to_string(tcp_.port());
        return nlohmann::json{{"buses", {bus}}};
    };
    Host const a("host-a", etcd_.endpoint_list(), config_naming("localhost"));
    Host const b("host-b", etcd_.endpoint_list(), config_naming("127.0.0.1"));
    auto const unit = description(tcp_.bus(), 1).dump();

    auto scan_a = a.run("scan");
    auto const listed_by_a = next_line(scan_a);
    EXPECT_EQ(listed_by_a, "found " + unit);
    auto hold_a = a.run("hold", description_in(listed_by_a));
    ASSERT_EQ(next_line(hold_a), "owned " + std::to_string(hold_a.pid()));

    auto scan_b = b.run("scan");
    auto const listed_by_b = next_line(scan_b);
    EXPECT_EQ(listed_by_b, "occupied " + unit + " host-a");
    auto hold_b = b.run("hold", description_in(listed_by_b));
    EXPECT_EQ(next_line(hold_b), "occupied host-a " + std::to_string(hold_a.pid()));
    EXPECT_EQ(keys(), cluster::owner_key(manager().get_path(), unit) + "\n\n");

    EXPECT_EQ(hold_a.stop(std::chrono::seconds(10)), 0);
}

#endif

}  // namespace
}  // namespace zelm::modbus_test
