// etcd members as child processes, and etcdctl runs.
#include "etcd_peers.hpp"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <curl/curl.h>
#include <fmt/format.h>

#include <stdexcept>
#include <system_error>
#include <thread>

namespace zelm::cluster_test {
namespace {

using namespace std::chrono_literals;

constexpr char const* etcd = "/usr/bin/etcd";
constexpr char const* etcdctl_program = "/usr/bin/etcdctl";
constexpr char const* setpriv = "/usr/bin/setpriv";
constexpr auto etcdctl_timeout = 20s;

// A loopback port that was free a moment ago. Another process could take it
// before etcd does; the start then fails and names the port.
int free_loopback_port() { return RefusingEndpoint().port(); }

std::string loopback_url(int port) { return fmt::format("http://127.0.0.1:{}", port); }

size_t append_to_string(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

// GET `address`; throws std::runtime_error when it fails.
std::string http_get(std::string const& address) {
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> const curl(curl_easy_init(), curl_easy_cleanup);
    std::string body;
    curl_easy_setopt(curl.get(), CURLOPT_URL, address.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, append_to_string);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
    if (auto const result = curl_easy_perform(curl.get()); result != CURLE_OK) {
        throw std::runtime_error(fmt::format("GET {}: {}", address, curl_easy_strerror(result)));
    }
    return body;
}

}  // namespace

int loopback_socket(int& port, bool listening) {
    int const fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (listening && ::listen(fd, 16) != 0) ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        auto const error = errno;
        if (fd >= 0) {
            ::close(fd);
        }
        throw std::system_error(error, std::generic_category(), "bind a loopback port");
    }
    port = ntohs(address.sin_port);
    return fd;
}

RefusingEndpoint::RefusingEndpoint() : fd_(loopback_socket(port_, false)) {}

RefusingEndpoint::~RefusingEndpoint() { ::close(fd_); }

std::string RefusingEndpoint::url() const { return loopback_url(port_); }

EtcdCluster::EtcdCluster(int members) {
    std::string initial_cluster;
    for (int i = 0; i < members; ++i) {
        auto member = std::make_unique<Member>(fmt::format("m{}", i), free_loopback_port(), free_loopback_port());
        initial_cluster += fmt::format("{}{}={}", i == 0 ? "" : ",", member->name, loopback_url(member->peer_port));
        members_.push_back(std::move(member));
    }
    // etcd's default heartbeat and election timings: shorter ones make a
    // loaded test machine hold spurious elections.
    for (auto& member_pointer : members_) {
        auto& member = *member_pointer;
        auto const data = dir_.path() / member.name;
        auto const client = loopback_url(member.client_port);
        auto const peer = loopback_url(member.peer_port);
        member.server.emplace(std::vector<std::string>{
            setpriv, "--pdeathsig", "KILL", "--", etcd, "--name", member.name, "--data-dir", data.native(),
            "--listen-client-urls", client, "--advertise-client-urls", client, "--listen-peer-urls", peer,
            "--initial-advertise-peer-urls", peer, "--initial-cluster", initial_cluster, "--initial-cluster-state",
            "new", "--initial-cluster-token", dir_.path().filename().native(), "--heartbeat-interval", "100",
            "--election-timeout", "1000", "--logger", "zap", "--log-level", "warn", "--log-outputs",
            (dir_.path() / (member.name + ".log")).native()});
    }
    wait_until_serving();
}

EtcdCluster::~EtcdCluster() {
    for (auto& member : members_) {
        if (member->server) {
            member->server->signal(SIGCONT);  // a paused member would take no SIGTERM
            member->server->stop(10s);
        }
    }
}

std::vector<std::string> EtcdCluster::endpoints() const {
    std::vector<std::string> urls;
    for (auto const& member : members_) {
        urls.push_back(loopback_url(member->client_port));
    }
    return urls;
}

std::string EtcdCluster::endpoint_list() const {
    std::string list;
    for (auto const& endpoint : endpoints()) {
        list += (list.empty() ? "" : ",") + endpoint;
    }
    return list;
}

void EtcdCluster::kill_member(std::size_t index) {
    auto& server = members_.at(index)->server;
    if (server) {
        server->signal(SIGKILL);
        server->wait_for(10s);
        server.reset();
    }
}

void EtcdCluster::pause_member(std::size_t index) { members_.at(index)->server->signal(SIGSTOP); }

void EtcdCluster::resume_member(std::size_t index) { members_.at(index)->server->signal(SIGCONT); }

std::string EtcdCluster::etcdctl(std::vector<std::string> const& arguments) const {
    std::vector<std::string> command{etcdctl_program, "--endpoints", endpoint_list(), "--dial-timeout", "2s",
                                     "--command-timeout", "5s"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    test::RunningProgram program(command);
    auto const status = program.wait_for(etcdctl_timeout);
    if (status != 0) {
        throw std::runtime_error(fmt::format("etcdctl failed ({}): {}", status.value_or(-1), program.err()));
    }
    return program.out();
}

long EtcdCluster::served(std::string const& method) const {
    auto const series = fmt::format(R"(grpc_server_handled_total{{grpc_code="OK",grpc_method="{}",)", method);
    long total = 0;
    for (auto const& member : members_) {
        if (!member->server) {
            continue;
        }
        auto const metrics = http_get(loopback_url(member->client_port) + "/metrics");
        for (auto at = metrics.find(series); at != std::string::npos; at = metrics.find(series, at + 1)) {
            auto const value = metrics.find(' ', metrics.find('}', at));
            total += std::stol(metrics.substr(value + 1, metrics.find('\n', value) - value - 1));
        }
    }
    return total;
}

// Serving when the cluster takes a write: a leader is elected.
void EtcdCluster::wait_until_serving() {
    auto const deadline = std::chrono::steady_clock::now() + etcd_start_timeout;
    std::string failure;
    while (std::chrono::steady_clock::now() < deadline) {
        try {
            etcdctl({"put", "/zelm-test/ready", "1"});
            return;
        } catch (std::exception const& e) {
            failure = e.what();
        }
        for (auto& member : members_) {
            if (member->server && member->server->wait_for(0ms)) {
                throw std::runtime_error(fmt::format("etcd {} exited: {}", member->name, logs()));
            }
        }
        std::this_thread::sleep_for(100ms);
    }
    throw std::runtime_error(fmt::format("etcd did not become ready: {}; {}", failure, logs()));
}

std::string EtcdCluster::logs() const {
    std::string text;
    for (auto const& member : members_) {
        text += member->name + ": " + test::read_file(dir_.path() / (member->name + ".log"));
    }
    return text;
}

}  // namespace zelm::cluster_test
