// Scan results as a table or as JSON.
#include "scan_output.hpp"

#include "table.hpp"

#include <filesystem>
#include <string_view>
#include <type_traits>

namespace zelm::tool {

namespace {

std::string plugin_name(std::string const& plugin_path) {
    return std::filesystem::path(plugin_path).filename().native();
}

TableRow table_row(DeviceFound const& found, std::optional<DeviceOwner> const&) {
    return {"found", found.serial_number, found.api, plugin_name(found.plugin_path), "", found.description};
}

TableRow table_row(DeviceOccupied const& occupied, std::optional<DeviceOwner> const& owner) {
    return {"occupied", "", "", plugin_name(occupied.plugin_path), owner_text(owner), occupied.description};
}

TableRow table_row(DeviceQueryFailed const& failed, std::optional<DeviceOwner> const&) {
    return {"failed", "", "", plugin_name(failed.plugin_path), "", failed.description + "  error: " + failed.error};
}

// Library text held as JSON becomes a JSON value again; empty text is no
// value at all.
nlohmann::ordered_json embedded(std::string const& text) {
    if (text.empty()) {
        return nullptr;
    }
    auto value = nlohmann::ordered_json::parse(text, nullptr, false);
    return value.is_discarded() ? nlohmann::ordered_json(text) : value;
}

nlohmann::ordered_json json_object(DeviceFound const& found, std::optional<DeviceOwner> const&) {
    return {{"state", "found"},
            {"plugin_path", found.plugin_path},
            {"description", embedded(found.description)},
            {"serial_number", found.serial_number},
            {"api", found.api},
            {"info", embedded(found.info)},
            {"status", embedded(found.status)}};
}

nlohmann::ordered_json json_object(DeviceOccupied const& occupied, std::optional<DeviceOwner> const& owner) {
    return {{"state", "occupied"},
            {"plugin_path", occupied.plugin_path},
            {"description", embedded(occupied.description)},
            {"owner", owner_json(owner)}};
}

nlohmann::ordered_json json_object(DeviceQueryFailed const& failed, std::optional<DeviceOwner> const&) {
    return {{"state", "failed"},
            {"plugin_path", failed.plugin_path},
            {"description", embedded(failed.description)},
            {"error", failed.error}};
}

}  // namespace

std::string scan_table(ScanRecords const& records) {
    if (records.empty()) {
        return "no devices found\n";
    }
    std::vector<TableRow> rows;
    rows.reserve(records.size());
    for (auto const& record : records) {
        rows.push_back(
            std::visit([&record](auto const& result) { return table_row(result, record.owner); }, record.result));
        rows.back().insert(rows.back().begin(), std::to_string(rows.size()));
    }
    return render_table({"#", "STATE", "SERIAL", "API", "PLUG-IN", "OWNER", "DESCRIPTION"}, rows);
}

nlohmann::ordered_json scan_json(ScanRecords const& records) {
    auto array = nlohmann::ordered_json::array();
    for (auto const& record : records) {
        array.push_back(
            std::visit([&record](auto const& result) { return json_object(result, record.owner); }, record.result));
    }
    return array;
}

}  // namespace zelm::tool
