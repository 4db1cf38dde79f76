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

TableRow table_row(DeviceFound const& found) {
    return {"found", found.serial_number, found.api, plugin_name(found.plugin_path), found.description};
}

TableRow table_row(DeviceOccupied const& occupied) {
    return {"occupied", "", "", plugin_name(occupied.plugin_path), occupied.description};
}

TableRow table_row(DeviceQueryFailed const& failed) {
    return {"failed", "", "", plugin_name(failed.plugin_path), failed.description + "  error: " + failed.error};
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

nlohmann::ordered_json json_object(DeviceFound const& found) {
    return {{"state", "found"},
            {"plugin_path", found.plugin_path},
            {"description", embedded(found.description)},
            {"serial_number", found.serial_number},
            {"api", found.api},
            {"info", embedded(found.info)},
            {"status", embedded(found.status)}};
}

nlohmann::ordered_json json_object(DeviceOccupied const& occupied) {
    return {
        {"state", "occupied"}, {"plugin_path", occupied.plugin_path}, {"description", embedded(occupied.description)}};
}

nlohmann::ordered_json json_object(DeviceQueryFailed const& failed) {
    return {{"state", "failed"},
            {"plugin_path", failed.plugin_path},
            {"description", embedded(failed.description)},
            {"error", failed.error}};
}

}  // namespace

std::string scan_table(ScanResults const& results) {
    if (results.empty()) {
        return "no devices found\n";
    }
    std::vector<TableRow> rows;
    rows.reserve(results.size());
    for (auto const& result : results) {
        rows.push_back(std::visit([](auto const& record) { return table_row(record); }, result));
    }
    return render_table({"STATE", "SERIAL", "API", "PLUG-IN", "DESCRIPTION"}, rows);
}

nlohmann::ordered_json scan_json(ScanResults const& results) {
    auto array = nlohmann::ordered_json::array();
    for (auto const& result : results) {
        array.push_back(std::visit([](auto const& record) { return json_object(record); }, result));
    }
    return array;
}

}  // namespace zelm::tool
