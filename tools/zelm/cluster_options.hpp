// The global options that put the tool's process in a cluster of hosts, so
// that it owns lab-wide devices lab-wide and its scans name their holders.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zelm::tool {

struct ClusterOptions {
    std::string endpoints = {};                      // "URL[,URL...]"; empty: no cluster
    std::string host_id = {};                        // empty: the machine's host name
    std::optional<std::uint32_t> ttl = std::nullopt;  // the lease's seconds; none: the library's default
};

// Joins the cluster that `options` names, if any; without endpoints nothing
// changes. Throws UsageError for a bad endpoint, host id or time-to-live
// (the library's one-line message), std::system_error when the host name
// cannot be read.
void join_cluster(ClusterOptions const& options);

}  // namespace zelm::tool
