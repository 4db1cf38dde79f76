// The lab-wide holders that scans in this process saw, for hosts that show
// who holds an occupied device without asking again. Each scan updates the
// devices it judged and leaves the others alone, so scans of different
// plug-ins on different threads keep each other's answers.
#pragma once

#include <zelm/cluster.hpp>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace zelm::detail {

class ScannedOwners {
public:
    using Key = std::pair<std::string, std::string>;  // plug-in path, compact description

    // For every device a scan judged: its holder, or none when it was free.
    void update(std::map<Key, std::optional<cluster::Owner>> judged);
    std::optional<cluster::Owner> find(std::string const& plugin_path, std::string const& description) const;

private:
    mutable std::mutex mutex_;
    std::map<Key, cluster::Owner> owners_;
};

ScannedOwners& scanned_owners();

}  // namespace zelm::detail
