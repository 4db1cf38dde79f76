// The lab-wide holders that the most recent scan in this process saw, for
// hosts that show who holds an occupied device without asking again.
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

    // Replaces what the previous scan saw.
    void replace(std::map<Key, cluster::Owner> owners);
    std::optional<cluster::Owner> find(std::string const& plugin_path, std::string const& description) const;

private:
    mutable std::mutex mutex_;
    std::map<Key, cluster::Owner> owners_;
};

ScannedOwners& scanned_owners();

}  // namespace zelm::detail
