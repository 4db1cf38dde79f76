// The wire form of a scan's outcome: one JSON object with the devices, the
// plug-ins that failed and those that stopped the scan.
#include "scan_records.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <iterator>
#include <optional>
#include <variant>

namespace zelm::tool {

namespace {

using nlohmann::json;

json wire_object(DeviceFound const& found) {
    return {{"state", "found"},          {"plugin_path", found.plugin_path}, {"description", found.description},
            {"serial_number", found.serial_number}, {"api", found.api},      {"info", found.info},
            {"status", found.status}};
}

json wire_object(DeviceOccupied const& occupied) {
    return {{"state", "occupied"}, {"plugin_path", occupied.plugin_path}, {"description", occupied.description}};
}

json wire_object(DeviceQueryFailed const& failed) {
    return {{"state", "failed"},
            {"plugin_path", failed.plugin_path},
            {"description", failed.description},
            {"error", failed.error}};
}

template <typename Value>
json optional_json(std::optional<Value> const& value) {
    return value ? json(*value) : json(nullptr);
}

template <typename Value>
std::optional<Value> optional_value(json const& value) {
    return value.is_null() ? std::nullopt : std::optional(value.get<Value>());
}

json holder_wire(std::optional<DeviceHolder> const& holder) {
    if (!holder) {
        return nullptr;
    }
    return {{"pid", holder->pid},
            {"command", optional_json(holder->command)},
            {"user", optional_json(holder->user)},
            {"host", optional_json(holder->host)},
            {"since", optional_json(holder->since)},
            {"lab_wide", holder->lab_wide}};
}

std::optional<DeviceHolder> holder_from_wire(json const& object) {
    if (object.is_null()) {
        return std::nullopt;
    }
    return DeviceHolder{object.at("pid").get<int>(),
                        optional_value<std::string>(object.at("command")),
                        optional_value<std::string>(object.at("user")),
                        optional_value<std::string>(object.at("host")),
                        optional_value<std::string>(object.at("since")),
                        object.at("lab_wide").get<bool>()};
}

json device_wire(ScannedDevice const& device) {
    auto object = std::visit([](auto const& result) { return wire_object(result); }, device.result);
    object["manager_path"] = device.manager_path;
    object["holder"] = holder_wire(device.holder);
    object["last_serial_number"] = optional_json(device.last_serial_number);
    object["lock_error"] = optional_json(device.lock_error);
    return object;
}

std::string text(json const& object, char const* key) { return object.at(key).get<std::string>(); }

ScanResult result_from_wire(json const& object) {
    auto const state = text(object, "state");
    if (state == "found") {
        return DeviceFound{text(object, "plugin_path"), text(object, "description"), text(object, "serial_number"),
                           text(object, "api"),         text(object, "info"),        text(object, "status")};
    }
    if (state == "occupied") {
        return DeviceOccupied{text(object, "plugin_path"), text(object, "description")};
    }
    if (state == "failed") {
        return DeviceQueryFailed{text(object, "plugin_path"), text(object, "description"), text(object, "error")};
    }
    throw json::other_error::create(501, "unknown state \"" + state + "\"", &object);
}

ScannedDevice device_from_wire(json const& object) {
    return {result_from_wire(object), text(object, "manager_path"), holder_from_wire(object.at("holder")),
            optional_value<std::string>(object.at("last_serial_number")),
            optional_value<std::string>(object.at("lock_error"))};
}

json failure_wire(PluginFailure const& failure) {
    return {{"plugin_path", failure.plugin_path}, {"step", static_cast<int>(failure.step)}, {"reason", failure.reason}};
}

PluginFailure failure_from_wire(json const& object) {
    auto const step = object.at("step").get<int>();
    if (step < static_cast<int>(PluginFailure::Step::load) || step > static_cast<int>(PluginFailure::Step::get_path)) {
        throw json::other_error::create(501, "unknown step " + std::to_string(step), &object);
    }
    return {text(object, "plugin_path"), static_cast<PluginFailure::Step>(step), text(object, "reason")};
}

}  // namespace

std::string outcome_to_wire(ScanOutcome const& outcome) {
    auto devices = json::array();
    std::ranges::transform(outcome.report.devices, std::back_inserter(devices), device_wire);
    auto failures = json::array();
    std::ranges::transform(outcome.report.failures, std::back_inserter(failures), failure_wire);
    json const object{{"devices", devices}, {"failures", failures}, {"stopped", outcome.stopped}};
    return object.dump(-1, ' ', false, json::error_handler_t::replace);
}

ScanOutcome outcome_from_wire(std::string const& text) {
    auto const object = json::parse(text);
    ScanOutcome outcome;
    std::ranges::transform(object.at("devices"), std::back_inserter(outcome.report.devices), device_from_wire);
    std::ranges::transform(object.at("failures"), std::back_inserter(outcome.report.failures), failure_from_wire);
    outcome.stopped = object.at("stopped").get<std::vector<std::string>>();
    return outcome;
}

void append(ScanOutcome& all, ScanOutcome part) {
    std::ranges::move(part.report.devices, std::back_inserter(all.report.devices));
    std::ranges::move(part.report.failures, std::back_inserter(all.report.failures));
    std::ranges::move(part.stopped, std::back_inserter(all.stopped));
}

}  // namespace zelm::tool
