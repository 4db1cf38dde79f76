// Making, rendering and checking query records.
#include "scan/query_record.hpp"

#include "json/bounded_json.hpp"
#include "json/utf8_text.hpp"
#include "scan/scan_results.hpp"

namespace zelm::detail {
namespace {

using nlohmann::json;

CacheClocks clocks{
    .steady_now = [] { return std::chrono::steady_clock::now(); },
    .file_now = [] { return std::chrono::file_clock::now(); },
};

// An answer nested one level less than a record, and bounded as a record is,
// so that every record written can be read back.
std::optional<json> parse_answer(std::string const& text) {
    return parse_bounded(text, {.max_depth = max_record_depth - 1, .max_values = max_record_values});
}

bool names_manager(json const& record, std::optional<RecordMembers> const& members, std::string const& path) {
    if (members) {
        auto const quoted = members->manager;
        return quoted.size() == path.size() + 2 && quoted.substr(1, path.size()) == path;
    }
    auto const manager = record.find("manager");
    return manager != record.end() && manager->is_string() && manager->get_ref<std::string const&>() == path;
}

bool names_device(json const& record, std::optional<RecordMembers> const& members, std::string const& description) {
    if (members) {
        return members->device == description;
    }
    auto const device = record.find("device");
    return device != record.end() && device->dump() == description;
}

}  // namespace

CacheClocks& cache_clocks() { return clocks; }

bool answers(RenderedRecord const& record) { return record.has_info || !record.error.empty(); }

RenderedRecord render_record(json const& record, std::string_view text) {
    return render_record(record, text.empty() ? std::nullopt : compact_record_members(text));
}

RenderedRecord render_record(json const& record, std::optional<RecordMembers> const& members) {
    RenderedRecord rendered;
    if (auto const error = record.find("error"); error != record.end()) {
        rendered.error = error->get<std::string>();
    }
    if (auto const info = record.find("info"); info != record.end()) {
        rendered.has_info = true;
        rendered.serial_number = serial_number_of(*info);
        rendered.info = members ? std::string(members->info) : info->dump();
    }
    if (auto const status = record.find("status"); status != record.end()) {
        rendered.api = api_of(*status);
        rendered.status = members ? std::string(members->status) : status->dump();
    }
    return rendered;
}

bool answers_for(json const& record, std::optional<RecordMembers> const& members, QueriedDevice const& device) {
    return names_manager(record, members, device.manager_path) && names_device(record, members, device.description);
}

json make_record(QueriedDevice const& device, TextResult const& info, TextResult const& status) {
    auto record = json::object();
    record["manager"] = device.manager_path;
    record["device"] = device.value;
    if (info) {
        // Information that is not JSON (or nested too deeply) counts as none.
        if (auto value = parse_answer(*info)) {
            record["info"] = std::move(*value);
        }
    } else {
        record["error"] = as_utf8(info.error());
    }
    if (status) {
        // A status that is not JSON (or nested too deeply) is dropped.
        if (auto value = parse_answer(*status)) {
            record["status"] = std::move(*value);
        }
    }
    return record;
}

}  // namespace zelm::detail
