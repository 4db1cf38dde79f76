// The two-level query cache that lets one device query serve every scan on
// the machine for five seconds.
//
// Level one, in this process: ProcessCache (scan/process_cache.hpp).
// Level two, across processes: "<identity>.lock" in the lock directory, which
// is both the lock that serialises queries of one device (an exclusive,
// blocking flock, held by an InterprocessLock) and the carrier of the last
// query record as compact JSON (scan/cache_file.hpp).
//
// Lock order: the query lock file first, then, for a live query only, a
// shared non-blocking lock on the device's ownership lock file; the process
// cache's mutex is taken while they are held, for one lookup or store only,
// and never held while waiting for either. Nothing is logged while any of
// them is held.
#pragma once

#include <zelm/device_manager.hpp>

#include "locking/lock_directory.hpp"
#include "scan/query_record.hpp"

#include <memory>

namespace zelm::detail {

struct QueryAnswer {
    // The device was found owned when it was about to be opened: it was
    // neither opened nor queried.
    bool occupied = false;
    // The answer; null only when occupied.
    std::shared_ptr<RenderedRecord const> record;
};

// One free device's answer: from this process's cache, else (under the
// device's query lock) from its cache file, else by opening and querying the
// device and storing the answer at both levels. The device is opened only
// while a shared lock on its ownership lock file shows that nobody owns it
// and keeps anybody from taking it until it is closed again. A live query
// that throws a standard exception comes back as an error record, not
// cached, and logged once the device's locks are released (unless `log` is
// QueryLog::quiet: the error record says it all). Throws std::bad_alloc, and
// what non-standard exceptions the plug-in throws.
enum class QueryLog { failures, quiet };
QueryAnswer query_device_cached(DeviceManager& manager, QueriedDevice const& device, LockDirectory const& directory,
                                QueryLog log = QueryLog::failures);

}  // namespace zelm::detail
