// The public face of lab-wide ownership: joining and leaving, the errors,
// and the questions a tool asks of the cluster.
#include <zelm/cluster.hpp>

#include "cluster/lab_wide.hpp"
#include "cluster/membership.hpp"
#include "cluster/owner_record.hpp"
#include "cluster/scanned_owners.hpp"
#include "locking/lock_identity.hpp"

#include <curl/curl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <mutex>
#include <system_error>
#include <utility>

namespace zelm {
namespace detail {
namespace {

struct ClusterState {
    std::mutex mutex;
    std::shared_ptr<Membership> membership;
};

ClusterState& cluster_state() {
    static ClusterState state;
    return state;
}

// An http:// or https:// URL with a host, as curl reads it; no trailing "/".
std::string checked_endpoint(std::string const& url) {
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> const parsed(curl_url(), curl_url_cleanup);
    if (!parsed) {
        throw std::bad_alloc();
    }
    if (auto const result = curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0); result != CURLUE_OK) {
        throw std::invalid_argument(fmt::format("Bad cluster endpoint: {}: {}", url, curl_url_strerror(result)));
    }
    char* scheme = nullptr;
    curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme, 0);
    std::string const scheme_text = scheme != nullptr ? scheme : "";
    curl_free(scheme);
    if (scheme_text != "http" && scheme_text != "https") {
        throw std::invalid_argument(fmt::format("Bad cluster endpoint: {}: not an http:// or https:// URL", url));
    }
    auto endpoint = url;
    while (endpoint.ends_with('/')) {
        endpoint.pop_back();
    }
    return endpoint;
}

std::string machine_host_name() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        throw std::system_error(errno, std::generic_category(), "Cannot read the host name");
    }
    return name;
}

void check_host_id(std::string const& host_id) {
    bool const bad = host_id.empty() || host_id.find('/') != std::string::npos ||
                     std::ranges::any_of(host_id, [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
    if (bad) {
        throw std::invalid_argument("Bad cluster host id: " + host_id);
    }
}

std::shared_ptr<Membership> required_membership() {
    auto membership = current_membership();
    if (!membership) {
        throw std::logic_error("Not in a cluster");
    }
    return membership;
}

std::string key_of(std::filesystem::path const& manager_path, std::string const& description) {
    return owner_key_of(manager_path.native(), parse_description(description).dump());
}

}  // namespace

std::shared_ptr<Membership> current_membership() {
    auto& state = cluster_state();
    std::lock_guard const lock(state.mutex);
    return state.membership;
}

}  // namespace detail

namespace cluster {

UnavailableError::UnavailableError(std::string const& reason) : std::runtime_error("Cluster unavailable: " + reason) {}
UnavailableError::~UnavailableError() = default;

HeldElsewhereError::HeldElsewhereError(Owner holder) : DeviceOccupiedError(std::nullopt), holder_(std::move(holder)) {}
HeldElsewhereError::~HeldElsewhereError() = default;

OwnershipLostError::OwnershipLostError(std::string const& reason)
    : std::runtime_error("Lab-wide ownership lost: " + reason) {}
OwnershipLostError::~OwnershipLostError() = default;

std::vector<std::string> parse_endpoints(std::string const& list) {
    std::vector<std::string> endpoints;
    std::size_t start = 0;
    while (start <= list.size()) {
        auto const end = std::min(list.find(',', start), list.size());
        if (end > start) {
            endpoints.push_back(list.substr(start, end - start));
        }
        start = end + 1;
    }
    return endpoints;
}

void join(std::vector<std::string> const& endpoints, Options const& options) {
    if (endpoints.empty()) {
        throw std::invalid_argument("Bad cluster endpoint: none given");
    }
    std::vector<std::string> checked;
    for (auto const& url : endpoints) {
        checked.push_back(detail::checked_endpoint(url));
    }
    auto resolved = options;
    if (resolved.host_id.empty()) {
        resolved.host_id = detail::machine_host_name();
    }
    detail::check_host_id(resolved.host_id);
    if (resolved.ttl < std::chrono::seconds(2)) {
        throw std::invalid_argument(fmt::format("Bad cluster time-to-live: {} s (at least 2)", resolved.ttl.count()));
    }
    // curl would take zero for no time limit at all.
    if (resolved.request_timeout < std::chrono::milliseconds(1)) {
        throw std::invalid_argument(
            fmt::format("Bad cluster request time-out: {} ms (at least 1)", resolved.request_timeout.count()));
    }
    auto joined = detail::Membership::make(std::move(checked), std::move(resolved));
    std::shared_ptr<detail::Membership> previous;
    {
        auto& state = detail::cluster_state();
        std::lock_guard const lock(state.mutex);
        previous = std::exchange(state.membership, std::move(joined));
    }
    if (previous) {
        previous->end("joined another cluster");
    }
}

void leave() noexcept {
    std::shared_ptr<detail::Membership> previous;
    {
        auto& state = detail::cluster_state();
        std::lock_guard const lock(state.mutex);
        previous.swap(state.membership);
    }
    if (previous) {
        previous->end("left the cluster");
    }
}

bool joined() noexcept { return detail::current_membership() != nullptr; }

std::string host_id() {
    auto const membership = detail::current_membership();
    return membership ? membership->options().host_id : std::string();
}

bool is_lab_wide(DeviceManager& manager, std::string const& description) {
    auto const compact = detail::parse_description(description).dump();
    return detail::marks_lab_wide(detail::lab_wide_query_of(manager), manager, compact);
}

std::string owner_key(std::filesystem::path const& manager_path, std::string const& description) {
    return detail::key_of(manager_path, description);
}

std::optional<Owner> find_lab_owner(std::filesystem::path const& manager_path, std::string const& description) {
    auto const key = detail::key_of(manager_path, description);
    auto const [found, revision] = detail::required_membership()->client().get(key);
    if (!found) {
        return std::nullopt;
    }
    return detail::parse_owner_record(found->value);
}

std::map<std::string, Owner> lab_owners() {
    std::map<std::string, Owner> owners;
    for (auto const& entry : detail::required_membership()->client().list_prefix(owners_prefix)) {
        owners.emplace(entry.key, detail::parse_owner_record(entry.value));
    }
    return owners;
}

std::optional<Owner> scanned_lab_owner(DeviceOccupied const& result) {
    return detail::scanned_owners().find(result.plugin_path, result.description);
}

bool wait_until_free(std::filesystem::path const& manager_path, std::string const& description,
                     std::chrono::milliseconds timeout) {
    auto const key = detail::key_of(manager_path, description);
    auto const membership = detail::required_membership();
    auto const [found, revision] = membership->client().get(key);
    return !found || membership->client().wait_for_delete(key, revision, timeout);
}

}  // namespace cluster
}  // namespace zelm
