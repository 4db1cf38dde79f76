// The wire form of scan records: one JSON array, an object per record.
#include "scan_records.hpp"

#include <variant>

namespace zelm::tool {

namespace {

using nlohmann::json;

json wire_object(DeviceFound const& found, std::optional<DeviceOwner> const&) {
    return {{"state", "found"},          {"plugin_path", found.plugin_path}, {"description", found.description},
            {"serial_number", found.serial_number}, {"api", found.api},      {"info", found.info},
            {"status", found.status}};
}

json wire_object(DeviceOccupied const& occupied, std::optional<DeviceOwner> const& owner) {
    return {{"state", "occupied"},
            {"plugin_path", occupied.plugin_path},
            {"description", occupied.description},
            {"owner", owner_json(owner)}};
}

json wire_object(DeviceQueryFailed const& failed, std::optional<DeviceOwner> const&) {
    return {{"state", "failed"},
            {"plugin_path", failed.plugin_path},
            {"description", failed.description},
            {"error", failed.error}};
}

std::string text(json const& object, char const* key) { return object.at(key).get<std::string>(); }

ScanRecord record_from_wire(json const& object) {
    auto const state = text(object, "state");
    if (state == "found") {
        return {DeviceFound{text(object, "plugin_path"), text(object, "description"), text(object, "serial_number"),
                            text(object, "api"), text(object, "info"), text(object, "status")},
                std::nullopt};
    }
    if (state == "occupied") {
        return {DeviceOccupied{text(object, "plugin_path"), text(object, "description")},
                owner_from_json(object.at("owner"))};
    }
    if (state == "failed") {
        return {DeviceQueryFailed{text(object, "plugin_path"), text(object, "description"), text(object, "error")},
                std::nullopt};
    }
    throw json::other_error::create(501, "unknown state \"" + state + "\"", &object);
}

}  // namespace

std::string records_to_wire(ScanRecords const& records) {
    auto array = json::array();
    for (auto const& record : records) {
        array.push_back(std::visit([&record](auto const& result) { return wire_object(result, record.owner); },
                                   record.result));
    }
    return array.dump(-1, ' ', false, json::error_handler_t::replace);
}

ScanRecords records_from_wire(std::string const& text) {
    ScanRecords records;
    for (auto const& object : json::parse(text)) {
        records.push_back(record_from_wire(object));
    }
    return records;
}

}  // namespace zelm::tool
