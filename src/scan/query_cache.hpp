// The two-level query cache that lets one device query serve every scan on
// the machine for five seconds.
//
// Level one, in this process: `process_cache`, guarded by `process_mutex`.
// Level two, across processes: "<identity>.lock" in the lock directory, which
// is both the lock that serialises queries of one device (an exclusive,
// blocking flock, held by an InterprocessLock) and the carrier of the last
// query record as compact JSON.
//
// Lock order: a query lock file is always taken without holding
// `process_mutex`; `process_mutex` may be taken while the file lock is held,
// for one lookup or store only, never across file I/O, device calls or a wait.
#pragma once

#include <zelm/device_manager.hpp>

#include "locking/lock_directory.hpp"
#include "locking/query_lock.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace zelm::detail {

// Both levels treat a record as fresh while its age is at most this.
inline constexpr std::chrono::seconds cache_lifetime{5};
// Cache files are writable by every user: larger or deeper records are not
// ours and are never read (real ones are a few hundred bytes).
inline constexpr std::size_t max_record_size = 1024 * 1024;
inline constexpr int max_record_depth = 128;

// What one device query gave: a record's "info", "status" and "error".
struct QueryOutcome {
    std::optional<nlohmann::json> info;
    std::optional<nlohmann::json> status;
    std::string error;  // empty: no error
};

// A query record as a scan reports it, rendered once when it is stored so
// that scans answered from this process copy text instead of JSON values and
// do not serialise "info" and "status" again each time.
struct RenderedRecord {
    bool has_info = false;
    std::string error;          // "error", or empty
    std::string serial_number;  // of "info" (serial_number_of)
    std::string api;            // of "status" (api_of)
    std::string info;           // "info" as compact JSON, or empty
    std::string status;         // "status" as compact JSON, or empty
};

struct CacheEntry {
    nlohmann::json record;  // a well-formed query record
    std::chrono::steady_clock::time_point stored_at;
    std::shared_ptr<RenderedRecord const> rendered = {};  // `record`, rendered
};

// Lock identity → the last record this process saw. Entries are overwritten,
// never erased. Guarded by process_mutex.
extern std::unordered_map<std::string, CacheEntry> process_cache;
extern std::mutex process_mutex;

// The clocks the cache reads; tests replace them to reach the freshness
// boundary without waiting.
struct CacheClocks {
    std::chrono::steady_clock::time_point (*steady_now)();
    std::chrono::file_clock::time_point (*file_now)();
};
CacheClocks& cache_clocks();

// One device's answer: from this process's cache, else (under the device's
// query lock) from its cache file, else by opening and querying the device and
// storing the answer at both levels. A live query that throws a standard
// exception comes back as `error`, logged and not cached. Throws what
// InterprocessLock throws, and what non-standard exceptions the plug-in throws.
QueryOutcome query_device_cached(std::shared_ptr<DeviceManager> const& manager, nlohmann::json const& description,
                                 std::string const& lock_id);
// query_device_cached as the scan uses it, with the cache file in `directory`
// (which the scan keeps open across its devices). When the answer is exactly
// one stored record (a fresh one in this process, or one read from its file
// with nothing from this process to merge into it), it comes back as that
// record rendered, and `outcome` stays empty; otherwise `outcome` is what
// query_device_cached gives.
struct ScanAnswer {
    QueryOutcome outcome;
    std::shared_ptr<RenderedRecord const> rendered;
};
ScanAnswer query_device_for_scan(std::shared_ptr<DeviceManager> const& manager, nlohmann::json const& description,
                                 std::string const& lock_id, LockDirectory const& directory);

}  // namespace zelm::detail
