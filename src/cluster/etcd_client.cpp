// The gateway's calls, one POST of JSON each, on reused connections.
#include "cluster/etcd_client.hpp"

#include "cluster/inherited.hpp"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <fmt/format.h>

#include <charconv>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace zelm::detail {
namespace {

// gRPC status codes under which another member may still serve the request:
// this one has no leader, timed out or is shutting down.
constexpr int grpc_deadline_exceeded = 4;
constexpr int grpc_unavailable = 14;
constexpr auto second_round_pause = std::chrono::milliseconds(500);
// The largest answer taken: every owner's key of a lab of some ten thousand
// devices fits many times over. A peer that sends more is not etcd.
constexpr std::size_t answer_limit = 32 * 1024 * 1024;
// How much of a bad answer an error message quotes.
constexpr std::size_t quoted_length = 40;

void initialise_curl_once() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string quoted(nlohmann::json const& value) {
    auto text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (text.size() > quoted_length) {
        text.resize(quoted_length);
        text += "...";
    }
    return text;
}

// etcd's 64-bit numbers come as JSON strings (or, from some gateways, as
// numbers). A peer that sends anything else is not a cluster that can be used.
std::int64_t integer(nlohmann::json const& value, char const* name) {
    std::int64_t number = 0;
    if (value.is_number_unsigned()) {
        if (value.get<std::uint64_t>() <= INT64_MAX) {
            return static_cast<std::int64_t>(value.get<std::uint64_t>());
        }
    } else if (value.is_number_integer()) {
        return value.get<std::int64_t>();
    } else if (value.is_string()) {
        auto const& text = value.get_ref<std::string const&>();
        auto const [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
        if (error == std::errc() && end == text.data() + text.size() && !text.empty()) {
            return number;
        }
    }
    throw cluster::UnavailableError(
        fmt::format("the cluster answered {} for \"{}\", which is not a 64-bit integer", quoted(value), name));
}

std::int64_t integer_member(nlohmann::json const& object, char const* name) {
    auto const found = object.find(name);
    return found == object.end() ? 0 : integer(*found, name);
}

KeyValue key_value(nlohmann::json const& kv) {
    return {base64_decode(kv.value("key", "")), base64_decode(kv.value("value", "")), integer_member(kv, "lease")};
}

// The first element of `list`'s kvs, if any.
std::optional<KeyValue> first_key_value(nlohmann::json const& range) {
    auto const kvs = range.find("kvs");
    if (kvs == range.end() || !kvs->is_array() || kvs->empty()) {
        return std::nullopt;
    }
    return key_value(kvs->front());
}

// The end of the range that holds every key starting with `prefix`.
std::string prefix_end(std::string prefix) {
    while (!prefix.empty()) {
        auto& last = prefix.back();
        if (static_cast<unsigned char>(last) != 0xff) {
            ++last;
            return prefix;
        }
        prefix.pop_back();
    }
    return std::string(1, '\0');  // every key
}

// An answer's text, up to answer_limit.
struct BoundedAnswer {
    std::string text;
    bool too_large = false;

    // Called by curl, through C: nothing may throw out of it.
    static size_t on_data(char* data, size_t size, size_t count, void* target) noexcept {
        auto& answer = *static_cast<BoundedAnswer*>(target);
        if (answer.text.size() + size * count > answer_limit) {
            answer.too_large = true;
            return 0;  // ends the transfer
        }
        try {
            answer.text.append(data, size * count);
        } catch (std::bad_alloc const&) {
            answer.too_large = true;
            return 0;
        }
        return size * count;
    }
};

std::string too_large_message(std::string const& endpoint) {
    return fmt::format("{}: answer larger than {} MiB", endpoint, answer_limit / (1024 * 1024));
}

}  // namespace

EtcdError::EtcdError(int code, std::string const& message) : std::runtime_error(message), code_(code) {}

std::string base64_encode(std::string_view bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3), '\0');
    auto const length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                        reinterpret_cast<unsigned char const*>(bytes.data()),
                                        static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

std::string base64_decode(std::string_view text) {
    if (text.size() % 4 != 0) {
        throw std::runtime_error("Bad base64 text from the cluster");
    }
    std::string bytes(3 * (text.size() / 4), '\0');
    auto const length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                        reinterpret_cast<unsigned char const*>(text.data()),
                                        static_cast<int>(text.size()));
    if (length < 0) {
        throw std::runtime_error("Bad base64 text from the cluster");
    }
    // EVP_DecodeBlock counts the padding's bytes as data.
    auto const padding = static_cast<std::size_t>(text.ends_with("==") ? 2 : text.ends_with("=") ? 1 : 0);
    bytes.resize(static_cast<std::size_t>(length) - padding);
    return bytes;
}

// One easy handle, which keeps its connections open between requests.
struct EtcdClient::Connection {
    CURL* curl = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");

    Connection() {
        if (curl == nullptr || headers == nullptr) {
            throw std::bad_alloc();
        }
    }
    ~Connection() {
        curl_slist_free_all(headers);
        curl_easy_cleanup(curl);
    }
    Connection(Connection const&) = delete;
    Connection& operator=(Connection const&) = delete;

    // POSTs `body` to `url`; the answer's status and text, or the transport's
    // error.
    CURLcode post(std::string const& url, std::string const& body, std::chrono::milliseconds timeout,
                  curl_write_callback on_data, void* target, long& status) {
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        // Straight to the cluster, whatever http_proxy says: a proxy would
        // stand between a host and its lease.
        curl_easy_setopt(curl, CURLOPT_PROXY, "");
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout.count()));
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_data);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, target);
        auto const result = curl_easy_perform(curl);
        status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        return result;
    }
};

void EtcdClient::ConnectionReturn::operator()(Connection* connection) const {
    std::unique_ptr<Connection> owned(connection);
    std::lock_guard const lock(client->mutex_);
    client->idle_.push_back(std::move(owned));
}

EtcdClient::EtcdClient(std::vector<std::string> endpoints, std::chrono::milliseconds timeout)
    : endpoints_(std::move(endpoints)), timeout_(timeout), process_(::getpid()) {
    initialise_curl_once();
}

EtcdClient::~EtcdClient() = default;

EtcdClient::ConnectionHandle EtcdClient::borrow() {
    std::unique_ptr<Connection> connection;
    {
        std::lock_guard const lock(mutex_);
        if (process_ != ::getpid()) {
            // A forked child: the idle connections' sockets are also the
            // parent's, whose requests would mix with ours on them. They are
            // dropped, not closed: closing a TLS connection would end the
            // parent's session too.
            for (auto& inherited : idle_) {
                abandon(std::move(inherited));
            }
            idle_.clear();
            process_ = ::getpid();
        }
        if (!idle_.empty()) {
            connection = std::move(idle_.back());
            idle_.pop_back();
        }
    }
    if (!connection) {
        connection = std::make_unique<Connection>();
    }
    return ConnectionHandle(connection.release(), ConnectionReturn{this});
}

EtcdClient::Attempt EtcdClient::ask(Connection& connection, std::string const& endpoint, std::string_view path,
                                    std::string const& text, std::chrono::milliseconds limit) {
    BoundedAnswer answer;
    long status = 0;
    auto const result = connection.post(endpoint + std::string(path), text, limit, BoundedAnswer::on_data, &answer,
                                        status);
    if (answer.too_large) {
        return {Attempt::silent, {}, too_large_message(endpoint)};
    }
    if (result != CURLE_OK) {
        return {Attempt::silent, {}, fmt::format("{}: {}", endpoint, curl_easy_strerror(result))};
    }
    auto parsed = nlohmann::json::parse(answer.text, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        return {Attempt::silent, {}, fmt::format("{}: answer is not JSON (HTTP {})", endpoint, status)};
    }
    if (status == 200) {
        return {Attempt::answered, std::move(parsed), {}};
    }
    auto const code = static_cast<int>(integer_member(parsed, "code"));
    auto const message = parsed.value("message", parsed.value("error", std::string("HTTP error")));
    if (code == grpc_unavailable || code == grpc_deadline_exceeded || (status >= 500 && code == 0)) {
        return {Attempt::busy, {}, fmt::format("{}: {}", endpoint, message)};
    }
    throw EtcdError(code, fmt::format("{}: {}", endpoint, message));
}

// Every endpoint once, from the one that last answered; then, after a pause,
// once more those that said they cannot serve now (a member that has just
// lost its leader says so until the others elect one, about a second). One
// that did not answer at all is not asked again, so a call takes at most one
// request time per endpoint, one more, and the pause, however many members
// are down.
nlohmann::json EtcdClient::call(std::string_view path, nlohmann::json const& body) {
    auto const connection = borrow();
    auto const text = body.dump();
    std::size_t first = 0;
    {
        std::lock_guard const lock(mutex_);
        first = preferred_;
    }
    auto const deadline = std::chrono::steady_clock::now() +
                          timeout_ * static_cast<long>(endpoints_.size() + 1) + second_round_pause;
    auto const time_left = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    };
    std::vector<std::size_t> order;
    for (std::size_t tried = 0; tried < endpoints_.size(); ++tried) {
        order.push_back((first + tried) % endpoints_.size());
    }
    std::string failure;
    for (int round = 0; round < 2 && !order.empty(); ++round) {
        if (round == 1) {
            std::this_thread::sleep_for(std::min<std::chrono::milliseconds>(second_round_pause, time_left()));
        }
        std::vector<std::size_t> busy;
        for (auto const index : order) {
            auto const left = time_left();
            if (left.count() <= 0) {
                break;
            }
            auto attempt = ask(*connection, endpoints_[index], path, text, std::min(timeout_, left));
            if (attempt.outcome == Attempt::answered) {
                std::lock_guard const lock(mutex_);
                preferred_ = index;
                return std::move(attempt.answer);
            }
            failure = std::move(attempt.failure);
            if (attempt.outcome == Attempt::busy) {
                busy.push_back(index);
            }
        }
        order = std::move(busy);
    }
    throw cluster::UnavailableError(failure.empty() ? "no endpoint answered in time" : failure);
}

std::int64_t EtcdClient::grant_lease(std::chrono::seconds ttl) {
    auto const answer = call("/v3/lease/grant", {{"TTL", std::to_string(ttl.count())}});
    auto const id = integer_member(answer, "ID");
    if (id == 0) {
        throw cluster::UnavailableError("lease not granted: " + answer.value("error", std::string("no lease id")));
    }
    return id;
}

std::int64_t EtcdClient::keep_alive(std::int64_t lease) {
    auto const answer = call("/v3/lease/keepalive", {{"ID", std::to_string(lease)}});
    auto const result = answer.find("result");
    if (result == answer.end()) {
        throw cluster::UnavailableError("keep-alive not answered: " + answer.dump());
    }
    return integer_member(*result, "TTL");
}

void EtcdClient::revoke_lease(std::int64_t lease) {
    try {
        call("/v3/lease/revoke", {{"ID", std::to_string(lease)}});
    } catch (EtcdError const&) {
        // already expired or revoked: its keys are gone either way
    }
}

CreateOutcome EtcdClient::create_if_absent(std::string const& key, std::string const& value, std::int64_t lease) {
    auto const encoded = base64_encode(key);
    nlohmann::json const body = {
        {"compare", {{{"target", "CREATE"}, {"result", "EQUAL"}, {"key", encoded}, {"create_revision", "0"}}}},
        {"success",
         {{{"request_put", {{"key", encoded}, {"value", base64_encode(value)}, {"lease", std::to_string(lease)}}}}}},
        {"failure", {{{"request_range", {{"key", encoded}}}}}},
    };
    auto const answer = call("/v3/kv/txn", body);
    if (answer.value("succeeded", false)) {
        return {true, std::nullopt};
    }
    auto const responses = answer.find("responses");
    if (responses == answer.end() || !responses->is_array() || responses->empty()) {
        return {false, std::nullopt};  // deleted between compare and range: a race; the caller retries
    }
    return {false, first_key_value(responses->front().value("response_range", nlohmann::json::object()))};
}

void EtcdClient::delete_if_leased(std::string const& key, std::int64_t lease) {
    auto const encoded = base64_encode(key);
    nlohmann::json const body = {
        {"compare", {{{"target", "LEASE"}, {"result", "EQUAL"}, {"key", encoded}, {"lease", std::to_string(lease)}}}},
        {"success", {{{"request_delete_range", {{"key", encoded}}}}}},
    };
    call("/v3/kv/txn", body);
}

std::pair<std::optional<KeyValue>, std::int64_t> EtcdClient::get(std::string const& key) {
    auto const answer = call("/v3/kv/range", {{"key", base64_encode(key)}});
    auto const header = answer.value("header", nlohmann::json::object());
    return {first_key_value(answer), integer_member(header, "revision")};
}

std::vector<KeyValue> EtcdClient::list_prefix(std::string const& prefix) {
    auto const answer =
        call("/v3/kv/range", {{"key", base64_encode(prefix)}, {"range_end", base64_encode(prefix_end(prefix))}});
    std::vector<KeyValue> found;
    auto const kvs = answer.find("kvs");
    if (kvs != answer.end() && kvs->is_array()) {
        for (auto const& kv : *kvs) {
            found.push_back(key_value(kv));
        }
    }
    return found;
}

namespace {

// Reads a watch's stream of JSON objects, one per line, and stops the
// transfer (by consuming nothing) once a delete event arrives.
struct WatchReader {
    std::string pending;
    bool deleted = false;
    std::string error;

    void take_line(std::string const& line) {
        auto const message = nlohmann::json::parse(line, nullptr, false);
        if (message.is_discarded() || !message.is_object()) {
            return;
        }
        try {
            take_message(message);
        } catch (nlohmann::json::exception const&) {
            error = "malformed watch message: " + quoted(message);  // members of the wrong types
        }
    }

    void take_message(nlohmann::json const& message) {
        if (message.contains("error")) {
            error = message["error"].value("message", std::string("watch failed"));
            return;
        }
        auto const result = message.value("result", nlohmann::json::object());
        for (auto const& event : result.value("events", nlohmann::json::array())) {
            if (event.value("type", "") == "DELETE") {
                deleted = true;
            }
        }
        if (result.value("canceled", false)) {
            error = result.value("cancel_reason", std::string("watch cancelled"));
        }
    }

    // Called by curl, through C: nothing may throw out of it.
    static size_t on_data(char* data, size_t size, size_t count, void* target) noexcept {
        auto& reader = *static_cast<WatchReader*>(target);
        try {
            reader.pending.append(data, size * count);
            for (auto end = reader.pending.find('\n'); end != std::string::npos; end = reader.pending.find('\n')) {
                reader.take_line(reader.pending.substr(0, end));
                reader.pending.erase(0, end + 1);
            }
            if (reader.pending.size() > answer_limit) {
                reader.error = fmt::format("watch message larger than {} MiB", answer_limit / (1024 * 1024));
            }
        } catch (std::exception const& e) {
            reader.error = e.what();
        }
        bool const done = reader.deleted || !reader.error.empty();
        return done ? 0 : size * count;
    }
};

}  // namespace

bool EtcdClient::wait_for_delete(std::string const& key, std::int64_t revision, std::chrono::milliseconds timeout) {
    if (timeout.count() <= 0) {
        return false;  // curl would take a zero timeout for none
    }
    nlohmann::json const body = {
        {"create_request", {{"key", base64_encode(key)}, {"start_revision", std::to_string(revision + 1)}}}};
    auto const text = body.dump();
    std::string endpoint;
    {
        std::lock_guard const lock(mutex_);
        endpoint = endpoints_[preferred_];
    }
    // A watch's connection stays busy for its whole life: it gets its own.
    Connection connection;
    WatchReader reader;
    long status = 0;
    auto const result = connection.post(endpoint + "/v3/watch", text, timeout, WatchReader::on_data, &reader, status);
    if (reader.deleted) {
        return true;
    }
    if (!reader.error.empty()) {
        throw cluster::UnavailableError(fmt::format("{}: watch: {}", endpoint, reader.error));
    }
    if (result == CURLE_OPERATION_TIMEDOUT) {
        return false;
    }
    throw cluster::UnavailableError(fmt::format("{}: watch: {}", endpoint, curl_easy_strerror(result)));
}

}  // namespace zelm::detail
