// The tool in a cluster: two hosts, simulated as zelm processes with
// different host ids and lock directories, share a real etcd server and one
// lab-wide simulated device.
#include "etcd_peers.hpp"
#include "tool_test_support.hpp"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace zelm::tool_test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

json const lab_device = {{"serial", "LAB-1"}, {"model", "sim-network"}};

// How a host names its cluster and itself to the tool.
enum class Naming { options, environment };

// One host: its id and a lock directory of its own, as another machine has.
class Host {
public:
    Host(std::string id, std::string cluster, Naming naming = Naming::options)
        : id_(std::move(id)), cluster_(std::move(cluster)), naming_(naming) {}

    std::vector<std::string> arguments(std::vector<std::string> const& command) const {
        std::vector<std::string> all{"--cluster-ttl", "2"};
        if (naming_ == Naming::options) {
            all.insert(all.end(), {"--cluster", cluster_, "--host-id", id_});
        }
        all.insert(all.end(), command.begin(), command.end());
        return all;
    }
    EnvChanges env() const {
        EnvChanges env{{"TMPDIR", tmpdir_.path().native()}};
        if (naming_ == Naming::environment) {
            env.insert({{"ZELM_CLUSTER", cluster_}, {"ZELM_HOST_ID", id_}});
        }
        return env;
    }
    Outcome run(std::vector<std::string> const& command) const { return run_zelm(arguments(command), env()); }
    std::unique_ptr<RunningZelm> start(std::vector<std::string> const& command) const {
        return std::make_unique<RunningZelm>(arguments(command), env());
    }

private:
    std::string id_;
    std::string cluster_;
    Naming naming_;
    test::TempDir tmpdir_;
};

class ClusterToolTest : public ToolTest {
protected:
    void SetUp() override {
        use_sim_config(sim_config(json::array({{{"description", lab_device}, {"lab_wide", true}}})));
    }

    // `zelm hold` of the lab-wide device on `host`, once it holds it.
    std::unique_ptr<RunningZelm> hold_on(Host const& host, std::vector<std::string> const& options = {}) {
        std::vector<std::string> command{"hold", sim_plugin.native(), lab_device.dump()};
        command.insert(command.end(), options.begin(), options.end());
        auto holder = host.start(command);
        auto const line = holder->read_line();
        EXPECT_TRUE(line && line->starts_with("holding ")) << holder->finish().err;
        return holder;
    }

    std::vector<std::string> device_command(std::string const& name) const {
        return {name, sim_plugin.native(), lab_device.dump()};
    }

    zelm::cluster_test::EtcdCluster etcd_;
    Host a_{"host-a", etcd_.endpoint_list()};
    Host b_{"host-b", etcd_.endpoint_list(), Naming::environment};
};

TEST_F(ClusterToolTest, AnotherHostSeesTheHolderWithItsHostAndCannotOwnTheDevice) {
    auto holder = hold_on(a_);
    auto const holder_text = std::to_string(holder->pid()) + " (zelm) on host-a";

    auto const scan = b_.run({"scan", "--plugin", sim_plugin.native(), "--json"});
    ASSERT_EQ(scan.status, 0) << scan.err;
    auto const records = json::parse(scan.out);
    ASSERT_EQ(records.size(), 1U) << scan.out;
    EXPECT_EQ(records[0]["state"], "occupied");
    EXPECT_EQ(records[0]["owner"], (json{{"pid", holder->pid()}, {"command", "zelm"}, {"host", "host-a"}}));
    auto const table = parse_table(b_.run({"scan", "--plugin", sim_plugin.native()}).out);
    ASSERT_EQ(table.size(), 1U);
    EXPECT_EQ(table[0].at("OWNER"), holder_text);

    auto const who = b_.run(device_command("who"));
    EXPECT_EQ(who.status, 0) << who.err;
    EXPECT_EQ(who.out, holder_text + "\n");

    std::vector<std::vector<std::string>> const attempts{
        device_command("hold"),
        {"reg", "get", sim_plugin.native(), lab_device.dump(), "0"},
        {"info", sim_plugin.native(), lab_device.dump(), "--live"}};
    for (auto const& attempt : attempts) {
        SCOPED_TRACE(attempt[0]);
        auto const outcome = b_.run(attempt);
        EXPECT_EQ(outcome.status, 3) << outcome.err;
        EXPECT_EQ(lines_of(outcome.err).size(), 1U) << outcome.err;
        EXPECT_NE(outcome.err.find("by process " + holder_text), std::string::npos) << outcome.err;
    }
    auto const short_wait = b_.run({"hold", sim_plugin.native(), lab_device.dump(), "--wait", "0.5"});
    EXPECT_EQ(short_wait.status, 3) << short_wait.err;
    EXPECT_NE(short_wait.err.find(holder_text + " (waited 0.5 s)"), std::string::npos) << short_wait.err;

    // The holder's own host names it too, under its own id.
    EXPECT_EQ(a_.run(device_command("who")).out, holder_text + "\n");
    auto const own_table = parse_table(a_.run({"scan", "--plugin", sim_plugin.native()}).out);
    ASSERT_EQ(own_table.size(), 1U);
    EXPECT_EQ(own_table[0].at("OWNER"), holder_text);

    holder->signal(SIGTERM);
    EXPECT_EQ(holder->finish().status, 0);
    auto const free = b_.run(device_command("who"));
    EXPECT_EQ(free.status, 1) << free.err;
    EXPECT_EQ(free.out, "free\n");
}

// What scans know of a device held on another host: its last answer here,
// with a note naming the holder and its host, as `who` names them.
TEST_F(ClusterToolTest, InfoAndStatusOnAnotherHostNameTheHolderAndItsHost) {
    auto const queried = b_.run(device_command("info"));  // while free
    ASSERT_EQ(queried.status, 0) << queried.err;
    auto holder = hold_on(a_);
    auto const named = "is occupied by process " + std::to_string(holder->pid()) + " (zelm) on host-a; ";

    for (auto const* command : {"info", "status"}) {
        SCOPED_TRACE(command);
        auto const outcome = b_.run(device_command(command));
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(lines_of(outcome.err).size(), 1U) << outcome.err;
        EXPECT_NE(outcome.err.find(named + "its last answer, "), std::string::npos) << outcome.err;
        EXPECT_TRUE(json::parse(outcome.out).is_object()) << outcome.out;
    }
    EXPECT_EQ(b_.run(device_command("info")).out, queried.out);
}

TEST_F(ClusterToolTest, HoldWaitOnAnotherHostOwnsTheDeviceOnlyOnceTheHolderReleasesIt) {
    auto holder = hold_on(a_);
    auto const waiter = b_.start({"hold", sim_plugin.native(), lab_device.dump(), "--wait", "120", "--for", "0"});
    // Time for a waiter that does not wait to own the device and end.
    std::this_thread::sleep_for(2s);
    ASSERT_FALSE(has_ended(waiter->pid())) << waiter->finish().err;

    holder->signal(SIGTERM);
    EXPECT_EQ(holder->finish().status, 0);
    auto const line = waiter->read_line();
    EXPECT_TRUE(line && line->starts_with("holding ")) << waiter->finish().err;
    EXPECT_EQ(waiter->finish().status, 0);
}

// An owner that has lost its lease must stop: hold stops its command and
// fails, naming the loss, rather than hold on as if it still owned the device.
TEST_F(ClusterToolTest, HoldStopsItsCommandAndFailsWhenTheLeaseIsLost) {
    auto holder = a_.start({"hold", sim_plugin.native(), lab_device.dump(), "--", "sh", "-c",
                            "echo started; exec sleep 600"});
    ASSERT_EQ(holder->read_line(), "started") << holder->finish().err;

    auto const leases = lines_of(etcd_.etcdctl({"lease", "list"}));
    ASSERT_EQ(leases.size(), 2U) << "found N leases, then the holder's";
    etcd_.etcdctl({"lease", "revoke", leases[1]});

    bool ended = false;
    for (int tries = 0; tries < 10 && !ended; ++tries) {
        ended = has_ended(holder->pid());
    }
    ASSERT_TRUE(ended) << "hold went on after its lease was revoked";
    auto const outcome = holder->finish();
    EXPECT_EQ(outcome.status, 1) << outcome.err;
    EXPECT_NE(outcome.err.find("Lab-wide ownership lost: "), std::string::npos) << outcome.err;
    EXPECT_EQ(b_.run(device_command("who")).out, "free\n");
}

TEST_F(ClusterToolTest, AClusterThatDoesNotAnswerIsReportedNotTakenForFree) {
    zelm::cluster_test::RefusingEndpoint const nobody;
    Host const lonely("host-c", nobody.url());

    auto const scan = lonely.run({"scan", "--plugin", sim_plugin.native(), "--json"});
    ASSERT_EQ(scan.status, 0) << scan.err;
    auto const records = json::parse(scan.out);
    ASSERT_EQ(records.size(), 1U) << scan.out;
    EXPECT_EQ(records[0]["state"], "failed");
    EXPECT_TRUE(records[0]["error"].get<std::string>().starts_with("Cluster unavailable: ")) << scan.out;

    for (auto const& command : {device_command("hold"), device_command("who")}) {
        SCOPED_TRACE(command[0]);
        auto const outcome = lonely.run(command);
        EXPECT_EQ(outcome.status, 1) << outcome.err;
        EXPECT_EQ(lines_of(outcome.err).size(), 1U) << outcome.err;
        EXPECT_NE(outcome.err.find("Cluster unavailable: "), std::string::npos) << outcome.err;
    }
}

}  // namespace
}  // namespace zelm::tool_test
