// The query cache: the order of the levels and the live device query.
#include "scan/query_cache.hpp"

#include "locking/ownership_probe.hpp"
#include "locking/query_lock.hpp"
#include "ownership/open_device.hpp"
#include "scan/cache_file.hpp"
#include "scan/process_cache.hpp"

#include <spdlog/spdlog.h>

#include <optional>
#include <string>

namespace zelm::detail {
namespace {

using nlohmann::json;

// Opens, queries and closes the device, and stores its answer at both
// levels; the caller holds its query lock and its free-device hold.
std::shared_ptr<RenderedRecord const> query_live(DeviceManager& manager, QueriedDevice const& device,
                                                 InterprocessLock const& lock) {
    auto opened = open_device_checked(manager, device.description);
    auto const info = opened->get_info();
    auto const status = opened->get_status();
    auto const record = make_record(device, info, status);
    // A manager path need not be UTF-8; the record of one that is not never
    // answers for it when read back, which costs only the file level.
    auto const text = record.dump(-1, ' ', false, json::error_handler_t::replace);
    write_cache_file(lock, text);
    auto stored = process_cache().store(device, render_record(record, text));
    opened.reset();  // closed before the query lock is released
    return stored;
}

// A status that this process kept from a record without information or
// error stays where the later answer has none.
std::shared_ptr<RenderedRecord const> with_earlier_status(std::shared_ptr<RenderedRecord const> const& earlier,
                                                          std::shared_ptr<RenderedRecord const> later) {
    if (!earlier || earlier->status.empty() || !later->status.empty()) {
        return later;
    }
    auto merged = *later;
    merged.status = earlier->status;
    merged.api = earlier->api;
    return std::make_shared<RenderedRecord const>(std::move(merged));
}

std::shared_ptr<RenderedRecord const> failed(std::exception const& error) {
    RenderedRecord record;
    record.error = error.what();
    return std::make_shared<RenderedRecord const>(std::move(record));
}

// An answer, and why a live query failed when it did, to be logged once the
// device's locks are released: a log sink may run anything, a scan of the
// same device among it.
struct LockedAnswer {
    QueryAnswer answer;
    std::optional<std::string> failure;
};

LockedAnswer query_under_locks(DeviceManager& manager, QueriedDevice const& device, LockDirectory const& directory,
                               std::shared_ptr<RenderedRecord const> const& earlier) {
    InterprocessLock const lock(device.lock_id, directory);
    if (auto cached = read_cache_file(lock, device)) {
        // The file is not rewritten: its age keeps counting from the live query.
        return {{false, with_earlier_status(earlier, process_cache().store(device, std::move(*cached)))}, {}};
    }
    // Taken after the query lock, which may have been waited for: an owner
    // may have come meanwhile.
    auto const hold = FreeDeviceHold::take(device.lock_id, directory);
    if (!hold) {
        return {{true, nullptr}, {}};
    }
    try {
        return {{false, with_earlier_status(earlier, query_live(manager, device, lock))}, {}};
    } catch (std::exception const& error) {
        return {{false, failed(error)}, error.what()};
    }
}

}  // namespace

QueryAnswer query_device_cached(DeviceManager& manager, QueriedDevice const& device, LockDirectory const& directory,
                                QueryLog log) {
    auto const earlier = process_cache().find(device);
    if (earlier && answers(*earlier)) {
        return {false, earlier};
    }
    auto locked = query_under_locks(manager, device, directory, earlier);
    if (locked.failure && log == QueryLog::failures) {
        spdlog::error("Failed to query device {}: {}", device.lock_id, *locked.failure);
    }
    return std::move(locked.answer);
}

}  // namespace zelm::detail
