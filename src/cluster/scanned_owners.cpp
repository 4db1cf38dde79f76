#include "cluster/scanned_owners.hpp"

namespace zelm::detail {

void ScannedOwners::update(std::map<Key, std::optional<cluster::Owner>> judged) {
    std::lock_guard const lock(mutex_);
    for (auto& [key, owner] : judged) {
        if (owner) {
            owners_.insert_or_assign(key, std::move(*owner));
        } else {
            owners_.erase(key);
        }
    }
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
