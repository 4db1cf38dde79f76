// etcd's v3 API through its JSON gateway, over libcurl: the few calls lab-wide
// ownership makes. Keys and values are plain text here; the gateway's base64
// stays inside.
//
// Every request goes to the endpoint that last answered, then to the others
// in turn; a transport failure (refused, timed out, an answer too large) or
// an answer that says the server cannot serve now moves on to the next. The
// members that said they cannot serve now are asked once more after a
// pause; when none answers the call throws cluster::UnavailableError naming
// the last failure. A call is bounded in time whatever the members do: one
// request time per endpoint, one more, and the pause.
#pragma once

#include <zelm/cluster.hpp>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <sys/types.h>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelm::detail {

// gRPC's status for an unknown lease, among others.
inline constexpr int grpc_not_found = 5;

// An answer with an error from a server that was able to judge the request
// (an unknown lease, say): trying another endpoint would not help.
class EtcdError : public std::runtime_error {
public:
    EtcdError(int code, std::string const& message);
    int code() const noexcept { return code_; }

private:
    int code_;
};

struct KeyValue {
    std::string key;
    std::string value;
    std::int64_t lease = 0;
};

// Outcome of a create-if-absent: created, or the key's current holder.
struct CreateOutcome {
    bool created = false;
    std::optional<KeyValue> existing;
};

class EtcdClient {
public:
    EtcdClient(std::vector<std::string> endpoints, std::chrono::milliseconds timeout);
    ~EtcdClient();
    EtcdClient(EtcdClient const&) = delete;
    EtcdClient& operator=(EtcdClient const&) = delete;

    // A new lease of `ttl` seconds; its id.
    std::int64_t grant_lease(std::chrono::seconds ttl);
    // Renews the lease once; the time-to-live the server now gives it, zero
    // when the lease no longer exists.
    std::int64_t keep_alive(std::int64_t lease);
    // Revokes the lease, deleting its keys; an unknown lease is no error.
    void revoke_lease(std::int64_t lease);
    // Creates `key` with `value` bound to `lease` unless the key exists, in
    // one transaction. Throws EtcdError for an unknown lease.
    CreateOutcome create_if_absent(std::string const& key, std::string const& value, std::int64_t lease);
    // Deletes `key` if it is bound to `lease`.
    void delete_if_leased(std::string const& key, std::int64_t lease);
    // The key's value, if it exists, and the store's revision at the read.
    std::pair<std::optional<KeyValue>, std::int64_t> get(std::string const& key);
    // Every key under `prefix`, in one range request.
    std::vector<KeyValue> list_prefix(std::string const& prefix);
    // Waits for `key` to be deleted after `revision` (a watch), at most
    // `timeout`; true when it was.
    bool wait_for_delete(std::string const& key, std::int64_t revision, std::chrono::milliseconds timeout);

private:
    struct Connection;
    struct ConnectionReturn {
        EtcdClient* client;
        void operator()(Connection* connection) const;
    };
    using ConnectionHandle = std::unique_ptr<Connection, ConnectionReturn>;

    struct Attempt {
        enum Outcome { answered, busy, silent } outcome;
        nlohmann::json answer;
        std::string failure;
    };

    nlohmann::json call(std::string_view path, nlohmann::json const& body);
    // One request to one endpoint. Throws EtcdError for an answer that
    // another member would not change.
    static Attempt ask(Connection& connection, std::string const& endpoint, std::string_view path,
                       std::string const& text, std::chrono::milliseconds limit);
    ConnectionHandle borrow();

    std::vector<std::string> endpoints_;
    std::chrono::milliseconds timeout_;
    std::mutex mutex_;  // guards preferred_, idle_ and process_
    pid_t process_;     // whose connections idle_ holds: a forked child must not share them
    std::size_t preferred_ = 0;
    std::vector<std::unique_ptr<Connection>> idle_;
};

// Base64 as the gateway wants keys and values.
std::string base64_encode(std::string_view bytes);
// Throws std::runtime_error for text that is not base64.
std::string base64_decode(std::string_view text);

}  // namespace zelm::detail
