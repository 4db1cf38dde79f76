#include "cluster/scanned_owners.hpp"

namespace zelm::detail {

void ScannedOwners::replace(std::map<Key, cluster::Owner> owners) {
    std::lock_guard const lock(mutex_);
    owners_.swap(owners);
}

std::optional<cluster::Owner> ScannedOwners::find(std::string const& plugin_path,
                                                  std::string const& description) const {
    std::lock_guard const lock(mutex_);
    auto const found = owners_.find({plugin_path, description});
    return found == owners_.end() ? std::nullopt : std::optional<cluster::Owner>(found->second);
}

ScannedOwners& scanned_owners() {
    static ScannedOwners owners;
    return owners;
}

}  // namespace zelm::detail
