// The loader's cache: canonical plug-in path → the manager made from it,
// held by weak reference only, so that it never keeps a plug-in loaded.
#pragma once

#include <zelm/device_manager.hpp>

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace zelm::detail {

// Not synchronised: the loader's mutex guards it.
class ManagerCache {
public:
    // The live manager stored under `path`; none when there is no entry or
    // its manager is gone (the entry then stays until erased).
    std::shared_ptr<DeviceManager> lookup(std::string const& path) const;
    // Stores `manager` under `path`, replacing any entry.
    void store(std::string const& path, std::shared_ptr<DeviceManager> const& manager);
    void erase(std::string const& path);
    std::size_t size() const;
    void clear();

private:
    std::unordered_map<std::string, std::weak_ptr<DeviceManager>> managers_;
};

// The process's one cache of get_device_manager, with the mutex that guards
// it and serialises every load.
struct LoadedManagers {
    std::mutex cache_mutex;
    ManagerCache cache;
};
LoadedManagers& loaded_managers();

}  // namespace zelm::detail
