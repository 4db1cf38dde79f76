#include "loader/manager_cache.hpp"

namespace zelm::detail {

std::shared_ptr<DeviceManager> ManagerCache::lookup(std::string const& path) const {
    auto const found = managers_.find(path);
    return found != managers_.end() ? found->second.lock() : nullptr;
}

void ManagerCache::store(std::string const& path, std::shared_ptr<DeviceManager> const& manager) {
    managers_.insert_or_assign(path, manager);
}

void ManagerCache::erase(std::string const& path) { managers_.erase(path); }

std::size_t ManagerCache::size() const { return managers_.size(); }

void ManagerCache::clear() { managers_.clear(); }

LoadedManagers& loaded_managers() {
    static LoadedManagers managers;
    return managers;
}

}  // namespace zelm::detail
