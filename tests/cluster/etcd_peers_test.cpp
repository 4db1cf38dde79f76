// The etcd peers themselves: a cluster starts, serves and stops, so that a
// failing cluster test points at the library rather than at its servers.
#include "etcd_peers.hpp"

#include <gtest/gtest.h>

namespace zelm::cluster_test {
namespace {

TEST(EtcdPeers, OneMemberServesReadsAndWrites) {
    EtcdCluster cluster;
    cluster.etcdctl({"put", "/peers/key", "value"});
    EXPECT_EQ(cluster.etcdctl({"get", "--print-value-only", "/peers/key"}), "value\n");
}

TEST(EtcdPeers, ThreeMembersServeAfterLosingOne) {
    EtcdCluster cluster(3);
    ASSERT_EQ(cluster.endpoints().size(), 3U);
    cluster.kill_member(0);
    cluster.wait_until_serving();
    cluster.etcdctl({"put", "/peers/key", "after"});
    EXPECT_EQ(cluster.etcdctl({"get", "--print-value-only", "/peers/key"}), "after\n");
}

}  // namespace
}  // namespace zelm::cluster_test
