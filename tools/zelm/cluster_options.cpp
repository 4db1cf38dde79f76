// Joining the cluster before a command runs.
#include "cluster_options.hpp"

#include "signals.hpp"
#include "usage_error.hpp"

#include <zelm/cluster.hpp>

#include <stdexcept>

namespace zelm::tool {

void join_cluster(ClusterOptions const& options) {
    auto const endpoints = cluster::parse_endpoints(options.endpoints);
    if (endpoints.empty()) {
        return;
    }
    cluster::Options joined;
    joined.host_id = options.host_id;
    if (options.ttl) {
        joined.ttl = std::chrono::seconds(*options.ttl);
    }
    try {
        starting_threads([&] { cluster::join(endpoints, joined); });
    } catch (std::invalid_argument const& e) {
        throw UsageError(e.what());
    }
}

}  // namespace zelm::tool
