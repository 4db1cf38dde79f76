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

#include "scan/query_cache.hpp"
#include "scan/scan_results.hpp"

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

// An answer text's value: JSON nested less deeply than a cache record may be
// (the record adds a level), else nothing.
std::optional<json> answer_value(std::string const& text) {
    auto value = json::parse(text, nullptr, false);
    if (value.is_discarded() || nesting_depth(value) >= detail::max_record_depth) {
        return std::nullopt;
    }
    return value;
}

// The outcome a live query must give for these answers.
detail::QueryOutcome expected_outcome(Answer const& info, Answer const& status) {
    detail::QueryOutcome expected;
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

// A live outcome matches the expected one. An error result, which the cache
// file keeps, may come back with the invalid bytes of a text that is not
// UTF-8 replaced, but then as UTF-8.
bool matches(detail::QueryOutcome const& live, detail::QueryOutcome const& expected, Answer const& info,
             Answer const& status) {
    if (live.info != expected.info || live.status != expected.status) {
        return false;
    }
    bool const error_result = info.kind == Kind::error && status.kind != Kind::thrown;
    if (error_result && !is_utf8(expected.error)) {
        return is_utf8(live.error) && !live.error.empty();
    }
    return live.error == expected.error;
}

bool same_outcome(detail::QueryOutcome const& a, detail::QueryOutcome const& b) {
    return a.info == b.info && a.status == b.status && a.error == b.error;
}

// Whether the record of this outcome is one the cache file level accepts.
bool fits_in_cache_file(detail::QueryOutcome const& outcome) {
    int const deepest = std::max(outcome.info ? nesting_depth(*outcome.info) : 0,
                                 outcome.status ? nesting_depth(*outcome.status) : 0);
    if (1 + deepest > detail::max_record_depth) {
        return false;
    }
    auto record = json::object();
    if (outcome.info) {
        record["info"] = *outcome.info;
    }
    if (outcome.status) {
        record["status"] = *outcome.status;
    }
    if (!outcome.error.empty()) {
        record["error"] = outcome.error;
    }
    return record.dump(-1, ' ', false, json::error_handler_t::replace).size() <= detail::max_record_size;
}

void check_scan_result(detail::QueryOutcome const& outcome) {
    ScanResults results;
    auto const& result = detail::append_scan_result(results, plugin_path, "{}", outcome);
    if (auto const* failed = std::get_if<DeviceQueryFailed>(&result)) {
        require(!failed->error.empty(), "a failed device's error is never empty");
        require(!outcome.error.empty() || !outcome.info, "a device is failed only without information or with an error");
        return;
    }
    auto const& found = std::get<DeviceFound>(result);
    require(outcome.error.empty() && outcome.info, "a device is found only with information and no error");
    require(json::parse(found.info) == *outcome.info, "found: information as compact JSON of the answer");
    require(!outcome.status ? found.status.empty() : json::parse(found.status) == *outcome.status,
            "found: status as compact JSON of the answer, or empty");
    auto const serial = outcome.info->is_object() ? outcome.info->find("Serial Number") : outcome.info->end();
    if (serial != outcome.info->end() && serial->is_string()) {
        require(found.serial_number == serial->get<std::string>(), "found: a string serial number as it is");
    }
}

}  // namespace

void run_one(std::string_view input) {
    static auto const manager = std::make_shared<FakeManager>(plugin_path);
    static json const description = "fuzz device";
    static std::string const lock_id = detail::make_lock_id(plugin_path, description);
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

    auto const live = detail::query_device_cached(manager, description, lock_id);
    require(manager->opens == 1, "an uncached device is opened once");
    {
        std::lock_guard guard(detail::process_mutex);
        detail::process_cache.clear();
    }
    auto const from_file = detail::query_device_cached(manager, description, lock_id);
    require(matches(live, expected_outcome(manager->info, manager->status), manager->info, manager->status),
            "the live query's outcome is what the device answered");
    require(same_outcome(from_file, live), "the next query, through the cache file, gives the same outcome");
    if (manager->info.kind != Kind::thrown && manager->status.kind != Kind::thrown && fits_in_cache_file(live)) {
        require(manager->opens == 1, "the next query is served by the cache file");
    }
    check_scan_result(live);
}

}  // namespace zelm::fuzz
