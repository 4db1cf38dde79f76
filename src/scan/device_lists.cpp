// The device lists this process read last.
#include "scan/device_lists.hpp"

namespace zelm::detail {

std::shared_ptr<DeviceList const> DeviceListCache::find(std::string const& plugin_path, std::string const& text) const {
    std::shared_ptr<DeviceList const> list;
    {
        std::lock_guard guard(mutex_);
        if (auto const found = lists_.find(plugin_path); found != lists_.end()) {
            list = found->second;
        }
    }
    return list && list->text == text ? list : nullptr;
}

void DeviceListCache::keep(std::string const& plugin_path, std::shared_ptr<DeviceList const> list) {
    std::lock_guard guard(mutex_);
    lists_.insert_or_assign(plugin_path, std::move(list));
}

void DeviceListCache::clear() {
    std::lock_guard guard(mutex_);
    lists_.clear();
}

// Never destroyed: a host may scan from another static object's destructor.
DeviceListCache& device_lists() {
    static auto* const instance = new DeviceListCache;
    return *instance;
}

}  // namespace zelm::detail
