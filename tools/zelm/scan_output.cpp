// Scan results as a table or as JSON.
#include "scan_output.hpp"

#include "holder_output.hpp"
#include "table.hpp"

#include <filesystem>
#include <string_view>
#include <type_traits>

namespace zelm::tool {

namespace {

std::string plugin_name(std::string const& plugin_path) {
    return std::filesystem::path(plugin_path).filename().native();
}

TableRow table_row(DeviceFound const& found, std::optional<DeviceHolder> const&) {
    return {"found", found.serial_number, found.api, plugin_name(found.plugin_path), "", found.description};
}

TableRow table_row(DeviceOccupied const& occupied, std::optional<DeviceHolder> const& holder) {
    return {"occupied", "", "", plugin_name(occupied.plugin_path), holder_text(holder), occupied.description};
}

TableRow table_row(DeviceQueryFailed const& failed, std::optional<DeviceHolder> const&) {
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

nlohmann::ordered_json json_object(DeviceFound const& found, std::optional<DeviceHolder> const&) {
    return {{"state", "found"},
            {"plugin_path", found.plugin_path},
            {"description", embedded(found.description)},
            {"serial_number", found.serial_number},
            {"api", found.api},
            {"info", embedded(found.info)},
            {"status", embedded(found.status)}};
}

nlohmann::ordered_json json_object(DeviceOccupied const& occupied, std::optional<DeviceHolder> const& holder) {
    return {{"state", "occupied"},
            {"plugin_path", occupied.plugin_path},
            {"description", embedded(occupied.description)},
            {"owner", holder_json(holder)}};
}

nlohmann::ordered_json json_object(DeviceQueryFailed const& failed, std::optional<DeviceHolder> const&) {
    return {{"state", "failed"},
            {"plugin_path", failed.plugin_path},
            {"description", embedded(failed.description)},
            {"error", failed.error}};
}

}  // namespace

std::string scan_table(std::vector<ScannedDevice> const& devices) {
    if (devices.empty()) {
        return "no devices found\n";
    }
    std::vector<TableRow> rows;
    rows.reserve(devices.size());
    for (auto const& device : devices) {
        rows.push_back(
            std::visit([&device](auto const& result) { return table_row(result, device.holder); }, device.result));
        rows.back().insert(rows.back().begin(), std::to_string(rows.size()));
    }
    return render_table({"#", "STATE", "SERIAL", "API", "PLUG-IN", "OWNER", "DESCRIPTION"}, rows);
}

nlohmann::ordered_json scan_json(std::vector<ScannedDevice> const& devices) {
    auto array = nlohmann::ordered_json::array();
    for (auto const& device : devices) {
        array.push_back(
            std::visit([&device](auto const& result) { return json_object(result, device.holder); }, device.result));
    }
    return array;
}

}  // namespace zelm::tool
