// Fuzz target: a device's information and status texts (or error texts, or
// exceptions) as its plug-in returns them. Checks the live query's outcome
// against what the texts say, that the outcome read back from the cache file
// by the next query is the same, and the scan result built from it.
//
// Input: one mode character, then the information text, a NUL byte and the
// status text. Mode bits: 1 information is an error result, 2 status is an
// error result, 4 get_info throws, 8 get_status throws ('0' is plain texts).
#include "fake_manager.hpp"
#include "harness.hpp"

#include "scan/device_scan.hpp"
#include "scan/process_cache.hpp"
#include "scan/query_record.hpp"

#include <zelm/lock.hpp>

#include <algorithm>
#include <optional>
#include <string>
#include <variant>

namespace zelm::fuzz {
namespace {

using nlohmann::json;
using Kind = Answer::Kind;

constexpr char const* plugin_path = "/fuzz/text_manager.so";

Answer answer_of(std::string_view text, bool is_error, bool throws) {
    auto const kind = throws ? Kind::thrown : is_error ? Kind::error : Kind::text;
    return {kind, std::string(text)};
}

// What a query of the device must give.
struct Expected {
    std::optional<json> info;
    std::optional<json> status;
    std::string error;
};

// An answer text's value: JSON nested less deeply than a cache record may be
// (the record adds a level), else nothing.
std::optional<json> answer_value(std::string const& text) {
    auto value = json::parse(text, nullptr, false);
    if (value.is_discarded() || nesting_depth(value) >= detail::max_record_depth ||
        value_count(value) > detail::max_record_values) {
        return std::nullopt;
    }
    return value;
}

// The outcome a live query must give for these answers.
Expected expected_outcome(Answer const& info, Answer const& status) {
    Expected expected;
    // get_info runs first, then get_status; either one throwing ends the
    // query with the exception's message (a C string: it ends at a NUL).
    if (info.kind == Kind::thrown) {
        expected.error = info.text.c_str();
        return expected;
    }
    if (status.kind == Kind::thrown) {
        expected.error = status.text.c_str();
        return expected;
    }
    if (info.kind == Kind::error) {
        expected.error = info.text;
    } else {
        expected.info = answer_value(info.text);
    }
    if (status.kind == Kind::text) {
        expected.status = answer_value(status.text);
    }
    return expected;
}

bool is_utf8(std::string const& text) {
    try {
        static_cast<void>(json(text).dump());
        return true;
    } catch (json::type_error const&) {
        return false;
    }
}

// The scan result matches the expected outcome: an error wins over
// information, and neither is "no info returned". An error result, which the
// cache file keeps, may come back with the invalid bytes of a text that is
// not UTF-8 replaced, but then as UTF-8.
bool matches(ScanResult const& result, Expected const& expected, Answer const& info, Answer const& status) {
    if (!expected.error.empty() || !expected.info) {
        auto const* failed = std::get_if<DeviceQueryFailed>(&result);
        if (failed == nullptr) {
            return false;
        }
        if (expected.error.empty()) {
            return failed->error == "no info returned";
        }
        bool const error_result = info.kind == Kind::error && status.kind != Kind::thrown;
        if (error_result && !is_utf8(expected.error)) {
            return is_utf8(failed->error) && !failed->error.empty();
        }
        return failed->error == expected.error;
    }
    auto const* found = std::get_if<DeviceFound>(&result);
    if (found == nullptr || json::parse(found->info) != *expected.info || found->info != expected.info->dump()) {
        return false;
    }
    if (expected.status ? found->status != expected.status->dump() : !found->status.empty()) {
        return false;
    }
    auto const serial = expected.info->is_object() ? expected.info->find("Serial Number") : expected.info->end();
    return serial == expected.info->end() || !serial->is_string() || found->serial_number == serial->get<std::string>();
}

bool same_result(ScanResult const& a, ScanResult const& b) {
    if (a.index() != b.index()) {
        return false;
    }
    if (auto const* found = std::get_if<DeviceFound>(&a)) {
        auto const& other = std::get<DeviceFound>(b);
        return found->info == other.info && found->status == other.status &&
               found->serial_number == other.serial_number && found->api == other.api;
    }
    if (auto const* failed = std::get_if<DeviceQueryFailed>(&a)) {
        return failed->error == std::get<DeviceQueryFailed>(b).error;
    }
    return true;
}

// Whether the record of this outcome is one the cache file level accepts.
bool fits_in_cache_file(Expected const& expected, std::string const& error) {
    auto record = json::object();
    if (expected.info) {
        record["info"] = *expected.info;
    }
    if (expected.status) {
        record["status"] = *expected.status;
    }
    if (!error.empty()) {
        record["error"] = error;
    }
    record["device"] = "fuzz device";
    record["manager"] = plugin_path;
    return nesting_depth(record) <= detail::max_record_depth && value_count(record) <= detail::max_record_values &&
           record.dump(-1, ' ', false, json::error_handler_t::replace).size() <= detail::max_record_size;
}

std::string error_of(ScanResult const& result) {
    auto const* failed = std::get_if<DeviceQueryFailed>(&result);
    return failed != nullptr && failed->error != "no info returned" ? failed->error : std::string();
}

}  // namespace

void run_one(std::string_view input) {
    static auto const manager = std::make_shared<FakeManager>(plugin_path);
    static json const description = "fuzz device";
    if (input.empty()) {
        return;
    }
    int const mode = input.front() & 0x0f;
    auto const texts = input.substr(1);
    auto const separator = texts.find('\0');
    auto const info_text = texts.substr(0, separator);
    auto const status_text = separator == std::string_view::npos ? std::string_view() : texts.substr(separator + 1);
    manager->info = answer_of(info_text, (mode & 1) != 0, (mode & 4) != 0);
    manager->status = answer_of(status_text, (mode & 2) != 0, (mode & 8) != 0);
    reset_caches();
    manager->opens = 0;

    auto const live = detail::scan_device(plugin_path, manager, description);
    require(manager->opens == 1, "an uncached device is opened once");
    detail::process_cache().clear();
    auto const from_file = detail::scan_device(plugin_path, manager, description);
    auto const expected = expected_outcome(manager->info, manager->status);
    require(matches(live, expected, manager->info, manager->status),
            "the live query's result is what the device answered");
    require(same_result(from_file, live), "the next scan, through the cache file, gives the same result");
    if (manager->info.kind != Kind::thrown && manager->status.kind != Kind::thrown &&
        fits_in_cache_file(expected, error_of(live))) {
        require(manager->opens == 1, "the next scan is served by the cache file");
    }
}

}  // namespace zelm::fuzz
