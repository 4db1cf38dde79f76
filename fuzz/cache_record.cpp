// Fuzz target: the content of a device's cache file, which any user of the
// machine can write, read by the scan's own device step. A record is used only
// when it is a JSON object within the record limits (size, depth, number of
// values) whose "error", if any, is a string, and whose "manager" and
// "device" name the very device scanned; it then answers without opening the
// device. Anything else is a miss: the device is queried live once and the
// file is rewritten with its answer.
//
// The scan takes "info" and "status" as bytes of the file when its text is
// exactly the compact serialisation of the record; the fast reader that
// decides so must agree with the JSON library on every input that parses.
#include "fake_manager.hpp"
#include "harness.hpp"

#include "json/bounded_json.hpp"
#include "locking/lock_directory.hpp"
#include "locking/query_lock.hpp"
#include "scan/cache_file.hpp"
#include "scan/compact_record.hpp"
#include "scan/device_scan.hpp"
#include "scan/process_cache.hpp"

#include <zelm/lock.hpp>

#include <string>
#include <variant>

namespace zelm::fuzz {
namespace {

using nlohmann::json;

constexpr char const* plugin_path = "/fuzz/cache_manager.so";

// The record `content` holds when it is one the cache may use for `device`.
std::optional<json> acceptable_record(std::string_view content, json const& device) {
    if (content.empty() || content.size() > detail::max_record_size) {
        return std::nullopt;
    }
    auto record = json::parse(content, nullptr, false);
    if (record.is_discarded() || !record.is_object() || nesting_depth(record) > detail::max_record_depth ||
        value_count(record) > detail::max_record_values) {
        return std::nullopt;
    }
    auto const error = record.find("error");
    auto const manager = record.find("manager");
    auto const described = record.find("device");
    if ((error != record.end() && !error->is_string()) || manager == record.end() || *manager != plugin_path ||
        described == record.end() || described->dump() != device.dump()) {
        return std::nullopt;
    }
    return record;
}

// Where the fast reader finds a member, it is the member's compact text.
void check_member(std::string_view found, json const& record, char const* name) {
    auto const member = record.find(name);
    require(found.empty() == (member == record.end()), "the fast reader finds exactly the members there are");
    if (member != record.end()) {
        require(found == member->dump(), "a member the fast reader finds is its compact text");
    }
}

// On every JSON text, the fast reader accepts only the library's own compact
// serialisation of the value, and finds the members as the library has them.
void check_fast_reader(std::string_view content) {
    auto const parsed = json::parse(content, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object() || nesting_depth(parsed) > detail::max_record_depth) {
        return;  // the reader is only ever given records that parsed
    }
    auto const members = detail::compact_record_members(content);
    if (!members) {
        return;  // a miss of the shortcut costs one serialisation
    }
    require(content == parsed.dump(), "the fast reader accepts only the compact serialisation");
    check_member(members->info, parsed, "info");
    check_member(members->status, parsed, "status");
    check_member(members->manager, parsed, "manager");
    check_member(members->device, parsed, "device");
}

void write_cache_file(std::string const& lock_id, std::string_view content) {
    detail::InterprocessLock const lock(lock_id);
    require(lock.fd() >= 0, "the cache file opens in a private lock directory");
    detail::write_cache_file(lock, std::string(content));
}

void check_found_from_record(ScanResult const& result, json const& record) {
    auto const member = [&](char const* name) {
        auto const found = record.find(name);
        return found == record.end() ? std::optional<json>() : std::optional<json>(*found);
    };
    auto const error = member("error");
    auto const info = member("info");
    if (error && !error->get_ref<std::string const&>().empty()) {
        auto const* failed = std::get_if<DeviceQueryFailed>(&result);
        require(failed != nullptr && failed->error == *error, "a used record gives its error");
        return;
    }
    if (!info) {
        auto const* failed = std::get_if<DeviceQueryFailed>(&result);
        require(failed != nullptr && failed->error == "no info returned", "a used record without information");
        return;
    }
    auto const* found = std::get_if<DeviceFound>(&result);
    require(found != nullptr && found->info == info->dump(), "a used record gives its information");
    auto const status = member("status");
    require(found->status == (status ? status->dump() : std::string()), "a used record gives its status");
}

}  // namespace

void run_one(std::string_view input) {
    static auto const manager = std::make_shared<FakeManager>(plugin_path);
    static json const device = "cached device";
    static std::string const lock_id = detail::make_lock_id(plugin_path, device);
    check_fast_reader(input);
    reset_caches();
    manager->opens = 0;
    write_cache_file(lock_id, input);

    auto const result = detail::scan_device(plugin_path, manager, device);

    if (auto const record = acceptable_record(input, device)) {
        require(manager->opens == 0, "a good record answers without opening the device");
        check_found_from_record(result, *record);
        return;
    }
    require(manager->opens == 1, "a bad record costs one live query");
    auto const* found = std::get_if<DeviceFound>(&result);
    require(found != nullptr && found->serial_number == "fake" && found->api == "fake", "a bad record gives the live answer");
    detail::process_cache().clear();
    auto const again = detail::scan_device(plugin_path, manager, device);
    require(manager->opens == 1 && std::holds_alternative<DeviceFound>(again) &&
                std::get<DeviceFound>(again).info == found->info,
            "a bad record is replaced by the live answer");
}

}  // namespace zelm::fuzz
