// Fuzz target: the content of a device's cache file, which any user of the
// machine can write. A record is used only when it is a JSON object no larger
// and no deeper than the limits whose "error", if any, is a string; it then
// answers the query without opening the device. Anything else is a miss: the
// device is queried live once and the file is rewritten with its answer.
#include "fake_manager.hpp"
#include "harness.hpp"

#include "scan/cache_file.hpp"
#include "scan/query_cache.hpp"

#include <zelm/lock.hpp>

#include <string>

namespace zelm::fuzz {
namespace {

using nlohmann::json;

constexpr char const* plugin_path = "/fuzz/cache_manager.so";

bool acceptable_record(std::string_view content) {
    if (content.empty() || content.size() > detail::max_record_size) {
        return false;
    }
    auto const record = json::parse(content, nullptr, false);
    if (record.is_discarded() || !record.is_object() || nesting_depth(record) > detail::max_record_depth) {
        return false;
    }
    auto const error = record.find("error");
    return error == record.end() || error->is_string();
}

void write_cache_file(std::string const& lock_id, std::string_view content) {
    detail::InterprocessLock const lock(lock_id);
    require(lock.fd() >= 0, "the cache file opens in a private lock directory");
    detail::write_cache_file(lock, std::string(content));
}

void check_outcome_from_record(detail::QueryOutcome const& outcome, json const& record) {
    auto const member = [&](char const* name) -> std::optional<json> {
        auto const found = record.find(name);
        return found == record.end() ? std::nullopt : std::optional<json>(*found);
    };
    require(outcome.info == member("info"), "a used record gives its information");
    require(outcome.status == member("status"), "a used record gives its status");
    auto const error = member("error");
    require(outcome.error == (error ? error->get<std::string>() : std::string()), "a used record gives its error");
}

}  // namespace

void run_one(std::string_view input) {
    static auto const manager = std::make_shared<FakeManager>(plugin_path);
    static json const description = "cached device";
    static std::string const lock_id = detail::make_lock_id(plugin_path, description);
    reset_caches();
    manager->opens = 0;
    write_cache_file(lock_id, input);

    auto const outcome = detail::query_device_cached(manager, description, lock_id);

    if (acceptable_record(input)) {
        require(manager->opens == 0, "a good record answers without opening the device");
        check_outcome_from_record(outcome, json::parse(input));
        return;
    }
    require(manager->opens == 1, "a bad record costs one live query");
    require(outcome.info == json{{"Serial Number", "fake"}} && outcome.status == json{{"API", "fake"}} &&
                outcome.error.empty(),
            "a bad record gives the live answer");
    {
        std::lock_guard guard(detail::process_mutex);
        detail::process_cache.clear();
    }
    auto const again = detail::query_device_cached(manager, description, lock_id);
    require(manager->opens == 1 && again.info == outcome.info && again.status == outcome.status,
            "a bad record is replaced by the live answer");
}

}  // namespace zelm::fuzz
