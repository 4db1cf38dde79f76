// The in-process level of the query cache: the last record this process saw
// of each device, for five seconds.
#pragma once

#include "scan/query_record.hpp"

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace zelm::detail {

class ProcessCache {
public:
    struct Entry {
        std::shared_ptr<RenderedRecord const> record;
        std::chrono::steady_clock::time_point stored_at;
        std::string manager_path;  // what the record answers for
        std::string description;
    };

    // The record kept for `device` while it is fresh; null when there is
    // none, it is stale, or it answers for another device of the same
    // lock identity.
    std::shared_ptr<RenderedRecord const> find(QueriedDevice const& device) const;
    // Keeps `record` for `device` from now on, replacing what was kept under
    // its lock identity; returns it.
    std::shared_ptr<RenderedRecord const> store(QueriedDevice const& device, RenderedRecord record);

    // For tests and benchmarks: the entry under `lock_id`, fresh or not;
    // forgetting it; forgetting all.
    std::optional<Entry> entry(std::string const& lock_id) const;
    void forget(std::string const& lock_id);
    void clear();

private:
    // Lock order: taken after a device's query lock, never before; held for
    // one lookup or store only, never across file I/O, device calls or a wait.
    mutable std::mutex process_mutex_;
    std::unordered_map<std::string, Entry> entries_;  // by lock identity; replaced, never erased
};

// The one cache of this process.
ProcessCache& process_cache();

}  // namespace zelm::detail
