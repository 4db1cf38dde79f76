// Lab-wide ownership between hosts: each host is a lab_host process with a
// host id and a TMPDIR of its own, so that only the cluster keeps them
// apart, as it does for two machines.
#include "lab_test_support.hpp"

#include <zelm/cluster.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <set>
#include <thread>

namespace zelm::cluster_test {
namespace {

using namespace std::chrono_literals;
using ::testing::StartsWith;

std::string owned_by(LabHost const& host) { return "owned " + std::to_string(host.pid()); }

// Polls the cluster with etcdctl until the key is gone; false when it is
// still there after event_timeout.
bool wait_until_key_gone(EtcdCluster const& cluster, std::string const& key) {
    auto const deadline = std::chrono::steady_clock::now() + event_timeout;
    while (!etcd_holder(cluster, key).empty()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

class LabHosts : public LabTest {
protected:
    std::string endpoints() const { return cluster_.endpoint_list(); }

    EtcdCluster cluster_;
    test::TempDir const machine_a;
    test::TempDir const machine_b;
};

TEST_F(LabHosts, TwoHostsAcquiringAtOnceHaveOneWinner) {
    LabHost a(machine_a.path(), endpoints(), "host-a", "hold");
    LabHost b(machine_b.path(), endpoints(), "host-b", "hold");
    auto const a_line = a.next_line();
    auto const b_line = b.next_line();
    bool const a_won = a_line == owned_by(a);
    auto const& winner = a_won ? a : b;
    auto const& [winner_line, loser_line] = a_won ? std::pair(a_line, b_line) : std::pair(b_line, a_line);
    ASSERT_EQ(winner_line, owned_by(winner)) << "the other host's line: " << loser_line;
    auto const holder = std::string(a_won ? "host-a " : "host-b ") + std::to_string(winner.pid());
    EXPECT_EQ(loser_line, "occupied " + holder);
    EXPECT_EQ(etcd_holder(cluster_, key_of(lab_device)), holder);
}

// The lease's time-to-live is the whole wait: nothing but its expiry frees
// the key of a process that is gone.
TEST_F(LabHosts, KilledOwnersDeviceIsFreeLabWideWithinTtlPlusOneSecond) {
    LabHost owner(machine_a.path(), endpoints(), "host-a", "hold");
    ASSERT_EQ(owner.next_line(), owned_by(owner));
    auto const key = key_of(lab_device);
    ASSERT_FALSE(etcd_holder(cluster_, key).empty());

    owner.program().signal(SIGKILL);
    auto const killed_at = std::chrono::steady_clock::now();
    ASSERT_TRUE(wait_until_key_gone(cluster_, key));
    auto const freed_after = std::chrono::steady_clock::now() - killed_at;
    EXPECT_LE(freed_after, test_ttl + 1s)
        << "freed after " << std::chrono::duration_cast<std::chrono::milliseconds>(freed_after).count() << " ms";
    EXPECT_EQ(owner.program().wait_for(event_timeout), 128 + SIGKILL);

    LabHost taker(machine_b.path(), endpoints(), "host-b", "hold");
    EXPECT_EQ(taker.next_line(), owned_by(taker));
}

// A stopped process cannot tell that its lease ran out; it must learn it
// before anything it does next reaches the device.
TEST_F(LabHosts, StoppedOwnerLosesTheDeviceToAnotherHostAndNeverReachesItAgain) {
    LabHost owner(machine_a.path(), endpoints(), "host-a", "hold");
    ASSERT_EQ(owner.next_line(), owned_by(owner));
    owner.program().signal(SIGSTOP);
    ASSERT_TRUE(wait_until_key_gone(cluster_, key_of(lab_device)));
    LabHost taker(machine_b.path(), endpoints(), "host-b", "hold");
    ASSERT_EQ(taker.next_line(), owned_by(taker));

    // The write is asked for before the owner runs again: it is the first
    // thing the owner does once resumed.
    owner.program().signal(SIGUSR1);
    owner.program().signal(SIGCONT);
    std::set<std::string> events;
    for (auto const& line : {owner.next_line(), owner.next_line()}) {
        events.insert(line.substr(0, line.find(':')));
    }
    EXPECT_EQ(events, (std::set<std::string>{"lost", "write lost"})) << owner.program().out();
    EXPECT_EQ(owner.program().stop(event_timeout), 0);

    LabHost local_look(machine_a.path(), "-", "host-a", "peek");
    EXPECT_EQ(local_look.next_line(), "memory 0") << "the resumed owner's write reached the device";
    EXPECT_EQ(taker.program().stop(event_timeout), 0);
}

class ThreeMemberCluster : public LabTest {
protected:
    // The members left elect a new leader should the lost one have led; on
    // a loaded machine that may take a few rounds.
    void wait_for_leader() const {
        auto const deadline = std::chrono::steady_clock::now() + event_timeout;
        while (true) {
            try {
                cluster_.etcdctl({"put", "/zelm-test/elected", "1"});
                return;
            } catch (std::runtime_error const&) {
                if (std::chrono::steady_clock::now() > deadline) {
                    throw;
                }
            }
        }
    }

    EtcdCluster cluster_{3};
    test::TempDir const machine_a;
    test::TempDir const machine_b;
    test::TempDir const machine_c;
};

std::string const lab_line = std::string(lab_device) + " ";
std::string const local_found = std::string("found ") + local_device;

TEST_F(ThreeMemberCluster, GoesOnWithoutOneMemberAndRefusesWithoutQuorum) {
    cluster_.kill_member(0);
    wait_for_leader();

    LabHost owner(machine_a.path(), cluster_.endpoint_list(), "host-a", "hold");
    ASSERT_EQ(owner.next_line(), owned_by(owner));
    LabHost scan(machine_b.path(), cluster_.endpoint_list(), "host-b", "scan");
    EXPECT_EQ(scan.next_line(), "occupied " + lab_line + "host-a");
    EXPECT_EQ(scan.next_line(), local_found);

    cluster_.kill_member(1);
    LabHost refused(machine_c.path(), cluster_.endpoint_list(), "host-c", "hold");
    EXPECT_THAT(refused.next_line(), StartsWith("unavailable: Cluster unavailable: "));
    LabHost blind_scan(machine_c.path(), cluster_.endpoint_list(), "host-c", "scan");
    EXPECT_THAT(blind_scan.next_line(), StartsWith("failed " + lab_line + "Cluster unavailable: "));
    EXPECT_EQ(blind_scan.next_line(), local_found);
}

// A member that hangs (here: stopped) while an owner talks to it must not
// cost the device while the others answer: each request gives up on it in
// time for the renewal to reach another member. The member chosen is not
// the leader, so the cluster keeps its leader and quorum throughout.
TEST_F(ThreeMemberCluster, OneStalledMemberCostsNoDevice) {
    auto const status = nlohmann::json::parse(cluster_.etcdctl({"endpoint", "status", "-w", "json"}));
    auto const follower = std::ranges::find_if(status, [](nlohmann::json const& member) {
        return member.at("Status").at("header").at("member_id") != member.at("Status").at("leader");
    });
    ASSERT_NE(follower, status.end());
    auto const endpoints = cluster_.endpoints();
    auto const stalled = static_cast<std::size_t>(
        std::ranges::find(endpoints, follower->at("Endpoint").get<std::string>()) - endpoints.begin());
    ASSERT_LT(stalled, endpoints.size());
    std::string listed = endpoints[stalled];  // first: the owner talks to it until it stalls
    for (auto const& endpoint : endpoints) {
        listed += endpoint == endpoints[stalled] ? "" : "," + endpoint;
    }

    LabHost owner(machine_a.path(), listed, "host-a", "hold");
    ASSERT_EQ(owner.next_line(), owned_by(owner));
    cluster_.pause_member(stalled);
    for (int write = 0; write < 6; ++write) {
        std::this_thread::sleep_for(test_ttl / 2);
        owner.program().signal(SIGUSR1);
        EXPECT_EQ(owner.next_line(), "write: ok");
    }
    cluster_.resume_member(stalled);
    EXPECT_EQ(owner.program().stop(event_timeout), 0);
}

}  // namespace
}  // namespace zelm::cluster_test
