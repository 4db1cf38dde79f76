// Real etcd servers for the cluster tests: one member or several, each on
// loopback ports of its own with a private data directory, stopped (and
// their data removed) when the test is done. A member is started under
// setpriv --pdeathsig, so a test that crashes leaves no server behind.
#pragma once

#include "test_support.hpp"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zelm::cluster_test {

// Members elect a leader and answer within this in the slowest runs; not a
// performance limit, only a bound so a broken server fails the test instead
// of hanging it.
inline constexpr std::chrono::seconds etcd_start_timeout{30};

// A TCP socket bound to a free loopback port, listening when asked to; sets
// `port`. Throws std::system_error when no port can be bound.
int loopback_socket(int& port, bool listening);

// A loopback port bound by nobody who listens, for as long as this lives:
// connections to it are refused, so its URL stands for a cluster that does
// not answer.
class RefusingEndpoint {
public:
    // Throws std::system_error when no loopback port can be bound.
    RefusingEndpoint();
    ~RefusingEndpoint();
    RefusingEndpoint(RefusingEndpoint const&) = delete;
    RefusingEndpoint& operator=(RefusingEndpoint const&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:<port>"
    std::string url() const;

private:
    int port_ = 0;  // set by the socket's creation, so before it
    int fd_ = -1;
};

class EtcdCluster {
public:
    // Starts `members` members as one new cluster and waits until it answers
    // a write. Throws std::runtime_error with the servers' log when it does
    // not.
    explicit EtcdCluster(int members = 1);
    // Stops every member still running.
    ~EtcdCluster();
    EtcdCluster(EtcdCluster const&) = delete;
    EtcdCluster& operator=(EtcdCluster const&) = delete;

    // Every member's client URL, "http://127.0.0.1:<port>", in member order.
    std::vector<std::string> endpoints() const;
    // The same joined with commas, as --cluster and ZELM_CLUSTER take them.
    std::string endpoint_list() const;
    // Kills member `index` at once (SIGKILL), as a machine that dies. The
    // others may need a moment to elect a new leader: see wait_until_serving.
    void kill_member(std::size_t index);
    // Stops member `index` (SIGSTOP), as a machine that hangs: connections
    // to it are still accepted, but nothing is answered, until resume_member.
    void pause_member(std::size_t index);
    void resume_member(std::size_t index);
    // Waits until the cluster takes a write (a leader is elected and every
    // running member answers). Throws std::runtime_error with the servers'
    // log when it does not within etcd_start_timeout.
    void wait_until_serving();
    // Runs etcdctl against the cluster (an independent client) and returns
    // its standard output; throws std::runtime_error when it fails.
    std::string etcdctl(std::vector<std::string> const& arguments) const;

    // How many requests of the gRPC method `method` ("Range", "Txn", ...)
    // the running members have answered successfully, from their metrics:
    // what the servers saw, not what the client believes it sent.
    long served(std::string const& method) const;

private:
    struct Member {
        std::string name;
        int client_port = 0;
        int peer_port = 0;
        std::optional<test::RunningProgram> server{};
    };

    std::string logs() const;

    test::TempDir dir_;
    std::vector<std::unique_ptr<Member>> members_;
};

}  // namespace zelm::cluster_test
