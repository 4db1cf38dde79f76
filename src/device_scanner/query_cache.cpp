// The query cache: in-process map, cache files, and the live device query.
#include "device_scanner/query_cache.hpp"

#include "device_manager/lock_directory.hpp"

#include <spdlog/spdlog.h>

namespace zelm::detail {

std::unordered_map<std::string, CacheEntry> process_cache;
std::mutex process_mutex;

namespace {

using nlohmann::json;

CacheClocks clocks{
    .steady_now = [] { return std::chrono::steady_clock::now(); },
    .file_now = [] { return std::chrono::file_clock::now(); },
};

bool is_well_formed(json const& record) {
    if (!record.is_object()) {
        return false;
    }
    auto const error = record.find("error");
    return error == record.end() || error->is_string();
}

// Copies the members a record has into `outcome`, leaving the others.
void apply_record(json const& record, QueryOutcome& outcome) {
    if (auto const info = record.find("info"); info != record.end()) {
        outcome.info = *info;
    }
    if (auto const status = record.find("status"); status != record.end()) {
        outcome.status = *status;
    }
    if (auto const error = record.find("error"); error != record.end()) {
        outcome.error = error->get<std::string>();
    }
}

void lookup_process_cache(std::string const& lock_id, QueryOutcome& outcome) {
    std::lock_guard guard(process_mutex);
    auto const found = process_cache.find(lock_id);
    if (found != process_cache.end() && clocks.steady_now() - found->second.stored_at <= cache_lifetime) {
        apply_record(found->second.record, outcome);
    }
}

void store_process_cache(std::string const& lock_id, json record) {
    auto const now = clocks.steady_now();
    std::lock_guard guard(process_mutex);
    process_cache.insert_or_assign(lock_id, CacheEntry{std::move(record), now});
}

std::chrono::file_clock::time_point modification_time(struct stat const& status) {
    auto const since_epoch = std::chrono::seconds(status.st_mtim.tv_sec) + std::chrono::nanoseconds(status.st_mtim.tv_nsec);
    return std::chrono::file_clock::from_sys(std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(since_epoch)));
}

// Parses a record, refusing one nested deeper than max_record_depth: it would
// parse, but serialising it again recurses once per level.
std::optional<json> parse_record(std::string const& text) {
    struct TooDeep {};
    auto const limit_depth = [](int depth, json::parse_event_t, json&) {
        if (depth > max_record_depth) {
            throw TooDeep{};
        }
        return true;
    };
    try {
        auto record = json::parse(text, limit_depth);
        if (is_well_formed(record)) {
            return record;
        }
    } catch (...) {
        // Not JSON, too deep, or out of memory: a miss.
    }
    return std::nullopt;
}

// Opens, queries and closes the device (before the query lock is released),
// filling `outcome` and storing the answer at both levels.
void query_live(DeviceManager& manager, json const& description, std::string const& lock_id,
                InterprocessLock const& lock, QueryOutcome& outcome) {
    auto device = manager.open_device(description.dump());
    auto const info = device->get_info();
    auto const status = device->get_status();

    auto record = json::object();
    if (info) {
        try {
            outcome.info = json::parse(*info);
            record["info"] = *outcome.info;
        } catch (...) {
            // Information that is not JSON counts as none.
        }
    } else {
        outcome.error = info.error();
        record["error"] = info.error();
    }
    if (status) {
        try {
            outcome.status = json::parse(*status);
            record["status"] = *outcome.status;
        } catch (...) {
            // A status that is not JSON is dropped.
        }
    }
    lock.write_cache(record.dump());
    store_process_cache(lock_id, std::move(record));
    device.reset();
}

}  // namespace

CacheClocks& cache_clocks() { return clocks; }

InterprocessLock::InterprocessLock(std::string const& lock_id) {
    auto const directory = LockDirectory::open();
    auto const name = lock_id + ".lock";
    path_ = directory.path() / name;
    if (auto locked = directory.lock_file(name, LOCK_EX)) {
        fd_ = locked->release();
    }
}

InterprocessLock::~InterprocessLock() {
    if (fd_ != -1) {
        system_calls().flock(fd_, LOCK_UN);
        system_calls().close(fd_);
    }
}

std::optional<json> InterprocessLock::read_cache() const {
    if (fd_ == -1) {
        return std::nullopt;
    }
    struct stat status {};
    if (system_calls().fstat(fd_, &status) != 0 || status.st_size <= 0 ||
        static_cast<std::size_t>(status.st_size) > max_record_size ||
        clocks.file_now() - modification_time(status) > cache_lifetime) {
        return std::nullopt;
    }
    try {
        std::string text(static_cast<std::size_t>(status.st_size), '\0');
        if (system_calls().pread(fd_, text.data(), text.size(), 0) != status.st_size) {
            return std::nullopt;
        }
        return parse_record(text);
    } catch (...) {
        return std::nullopt;
    }
}

void InterprocessLock::write_cache(std::string const& text) const {
    if (fd_ == -1) {
        return;
    }
    // Readers hold the lock too, so none sees the file between these calls.
    system_calls().ftruncate(fd_, 0);
    system_calls().pwrite(fd_, text.data(), text.size(), 0);
}

QueryOutcome query_device_cached(std::shared_ptr<DeviceManager> const& manager, json const& description,
                                 std::string const& lock_id) {
    QueryOutcome outcome;
    lookup_process_cache(lock_id, outcome);
    if (outcome.info || !outcome.error.empty()) {
        return outcome;
    }

    InterprocessLock const lock(lock_id);
    if (auto cached = lock.read_cache()) {
        apply_record(*cached, outcome);
        // The file is not rewritten: its age keeps counting from the live query.
        store_process_cache(lock_id, std::move(*cached));
        return outcome;
    }
    try {
        query_live(*manager, description, lock_id, lock, outcome);
    } catch (std::exception const& e) {
        outcome.error = e.what();
        spdlog::error("Failed to query device {}: {}", lock_id, e.what());
    }
    return outcome;
}

}  // namespace zelm::detail
