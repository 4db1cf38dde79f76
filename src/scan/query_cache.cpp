// The query cache: in-process map, cache files, and the live device query.
#include "scan/query_cache.hpp"

#include "json/bounded_json.hpp"
#include "locking/lock_directory.hpp"
#include "scan/cache_file.hpp"
#include "scan/scan_results.hpp"

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

bool answers(QueryOutcome const& outcome) { return outcome.info || !outcome.error.empty(); }
bool answers(RenderedRecord const& record) { return record.has_info || !record.error.empty(); }
bool is_empty(QueryOutcome const& outcome) { return !outcome.info && !outcome.status && outcome.error.empty(); }

// Step one. With `rendered`, a fresh entry that answers (information or an
// error) comes back as its rendered record and `outcome` is left alone;
// otherwise a fresh entry's members go into `outcome`.
std::shared_ptr<RenderedRecord const> lookup_process_cache(std::string const& lock_id, QueryOutcome& outcome,
                                                           bool rendered) {
    std::lock_guard guard(process_mutex);
    auto const found = process_cache.find(lock_id);
    if (found == process_cache.end() || clocks.steady_now() - found->second.stored_at > cache_lifetime) {
        return {};
    }
    auto const& entry = found->second;
    if (rendered && entry.rendered && answers(*entry.rendered)) {
        return entry.rendered;
    }
    apply_record(entry.record, outcome);
    return {};
}

// `text`, when known, is the text the record was read from or written as.
std::shared_ptr<RenderedRecord const> store_process_cache(std::string const& lock_id, json record,
                                                          std::string_view text = {}) {
    auto rendered = std::make_shared<RenderedRecord const>(render_record(record, text));
    auto const now = clocks.steady_now();
    std::lock_guard guard(process_mutex);
    process_cache.insert_or_assign(lock_id, CacheEntry{std::move(record), now, rendered});
    return rendered;
}

// An answer nested one level less than a record, so that every record
// written fits the limit of the records read back.
std::optional<json> parse_answer(std::string const& text) { return parse_bounded(text, max_record_depth - 1); }

// The device's error text as valid UTF-8 (each invalid byte becomes U+FFFD):
// the record holding it must serialise, and read back as the same text.
std::string as_utf8(std::string const& text) {
    return json::parse(json(text).dump(-1, ' ', false, json::error_handler_t::replace)).get<std::string>();
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
        // Information that is not JSON (or nested too deeply) counts as none.
        outcome.info = parse_answer(*info);
        if (outcome.info) {
            record["info"] = *outcome.info;
        }
    } else {
        outcome.error = as_utf8(info.error());
        record["error"] = outcome.error;
    }
    if (status) {
        // A status that is not JSON (or nested too deeply) is dropped.
        outcome.status = parse_answer(*status);
        if (outcome.status) {
            record["status"] = *outcome.status;
        }
    }
    auto const text = record.dump();
    write_cache_file(lock, text);
    store_process_cache(lock_id, std::move(record), text);
    device.reset();
}

}  // namespace

CacheClocks& cache_clocks() { return clocks; }

namespace {

// Steps three to six, below the in-process level; `answer.outcome` holds
// what step one gave. With `rendered`, a cache file's record that has nothing
// from step one to merge comes back as `answer.rendered`.
void query_file_or_device(std::shared_ptr<DeviceManager> const& manager, json const& description,
                          std::string const& lock_id, LockDirectory const& directory, ScanAnswer& answer,
                          bool rendered) {
    auto& outcome = answer.outcome;
    InterprocessLock const lock(lock_id, directory);
    if (auto cached = read_cache_file(lock)) {
        // The file is not rewritten: its age keeps counting from the live query.
        if (rendered && is_empty(outcome)) {
            answer.rendered = store_process_cache(lock_id, std::move(cached->record), cached->text);
            return;
        }
        apply_record(cached->record, outcome);
        store_process_cache(lock_id, std::move(cached->record), cached->text);
        return;
    }
    try {
        query_live(*manager, description, lock_id, lock, outcome);
    } catch (std::exception const& e) {
        outcome.error = e.what();
        spdlog::error("Failed to query device {}: {}", lock_id, e.what());
    }
}

ScanAnswer query(std::shared_ptr<DeviceManager> const& manager, json const& description, std::string const& lock_id,
                 LockDirectory const* directory, bool rendered) {
    ScanAnswer answer;
    answer.rendered = lookup_process_cache(lock_id, answer.outcome, rendered);
    if (answer.rendered || answers(answer.outcome)) {
        return answer;
    }
    if (directory != nullptr) {
        query_file_or_device(manager, description, lock_id, *directory, answer, rendered);
    } else {
        query_file_or_device(manager, description, lock_id, LockDirectory::open(), answer, rendered);
    }
    return answer;
}

}  // namespace

QueryOutcome query_device_cached(std::shared_ptr<DeviceManager> const& manager, json const& description,
                                 std::string const& lock_id) {
    return std::move(query(manager, description, lock_id, nullptr, false).outcome);
}

ScanAnswer query_device_for_scan(std::shared_ptr<DeviceManager> const& manager, json const& description,
                                 std::string const& lock_id, LockDirectory const& directory) {
    return query(manager, description, lock_id, &directory, true);
}

}  // namespace zelm::detail
