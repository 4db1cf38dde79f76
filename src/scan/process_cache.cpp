// The in-process level of the query cache.
#include "scan/process_cache.hpp"

namespace zelm::detail {

std::shared_ptr<RenderedRecord const> ProcessCache::find(QueriedDevice const& device) const {
    std::lock_guard guard(process_mutex_);
    auto const found = entries_.find(device.lock_id);
    if (found == entries_.end()) {
        return {};
    }
    auto const& entry = found->second;
    if (cache_clocks().steady_now() - entry.stored_at > cache_lifetime || entry.description != device.description ||
        entry.manager_path != device.manager_path) {
        return {};
    }
    return entry.record;
}

std::shared_ptr<RenderedRecord const> ProcessCache::store(QueriedDevice const& device, RenderedRecord record) {
    auto shared = std::make_shared<RenderedRecord const>(std::move(record));
    Entry entry{shared, cache_clocks().steady_now(), device.manager_path, device.description};
    std::lock_guard guard(process_mutex_);
    entries_.insert_or_assign(device.lock_id, std::move(entry));
    return shared;
}

std::optional<ProcessCache::Entry> ProcessCache::entry(std::string const& lock_id) const {
    std::lock_guard guard(process_mutex_);
    auto const found = entries_.find(lock_id);
    return found == entries_.end() ? std::nullopt : std::optional<Entry>(found->second);
}

void ProcessCache::forget(std::string const& lock_id) {
    std::lock_guard guard(process_mutex_);
    entries_.erase(lock_id);
}

void ProcessCache::clear() {
    std::lock_guard guard(process_mutex_);
    entries_.clear();
}

// Never destroyed: a host may scan from another static object's destructor.
ProcessCache& process_cache() {
    static auto* const instance = new ProcessCache;
    return *instance;
}

}  // namespace zelm::detail
