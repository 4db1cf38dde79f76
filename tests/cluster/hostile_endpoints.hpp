// Endpoints on loopback that are not the etcd they claim to be, for the
// cluster's hostile peers: one that takes connections and never answers, and
// one that answers every request with what the test says.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace zelm::cluster_test {

// Listens, but never accepts: a connection completes in the kernel's
// backlog, the request is sent, and no answer ever comes, as from a member
// whose machine hangs.
class SilentEndpoint {
public:
    // Throws std::system_error when no loopback port can be bound.
    SilentEndpoint();
    ~SilentEndpoint();
    SilentEndpoint(SilentEndpoint const&) = delete;
    SilentEndpoint& operator=(SilentEndpoint const&) = delete;

    std::string url() const;

private:
    int port_ = 0;  // set by the socket's creation, so before it
    int fd_ = -1;
};

// Answers each request (read whole) on a connection of its own with `reply`,
// which writes to the connected socket and returns; the connection is then
// closed. One connection at a time.
class ScriptedEndpoint {
public:
    // Writes the answer to `socket`; `stopping` turns true when the endpoint
    // is destroyed, for replies that would otherwise never end.
    using Reply = std::function<void(int socket, std::atomic<bool> const& stopping)>;

    explicit ScriptedEndpoint(Reply reply);
    ~ScriptedEndpoint();
    ScriptedEndpoint(ScriptedEndpoint const&) = delete;
    ScriptedEndpoint& operator=(ScriptedEndpoint const&) = delete;

    std::string url() const;

private:
    void serve();

    Reply reply_;
    int port_ = 0;  // set by the socket's creation, so before it
    int fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread server_;
};

// An HTTP 200 answer with `json` as its body.
ScriptedEndpoint::Reply json_reply(std::string json);
// An HTTP 200 answer whose body never ends: "[" and then white space, as
// fast as the peer takes it, until it goes.
ScriptedEndpoint::Reply endless_reply();

}  // namespace zelm::cluster_test
