// Turning a device's query outcome into a found or failed scan result.
#include "scan/scan_results.hpp"


#include <cmath>
#include <cstdint>
#include <limits>

namespace zelm::detail {
namespace {

std::int32_t low_32_bits(std::uint64_t value) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(value)); }

// Truncates toward zero; values beyond the 32-bit range saturate (the plain
// conversion would be undefined there).
std::int32_t truncate_saturated(double value) {
    constexpr auto lowest = std::numeric_limits<std::int32_t>::min();
    constexpr auto highest = std::numeric_limits<std::int32_t>::max();
    if (std::isnan(value)) {
        return 0;
    }
    if (value <= static_cast<double>(lowest)) {
        return lowest;
    }
    if (value >= static_cast<double>(highest)) {
        return highest;
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace

std::string serial_number_of(nlohmann::json const& info) {
    if (!info.is_object()) {
        return {};
    }
    auto const found = info.find("Serial Number");
    if (found == info.end()) {
        return {};
    }
    switch (found->type()) {
    case nlohmann::json::value_t::string:
        return found->get<std::string>();
    case nlohmann::json::value_t::number_integer:
        return std::to_string(low_32_bits(static_cast<std::uint64_t>(found->get<std::int64_t>())));
    case nlohmann::json::value_t::number_unsigned:
        return std::to_string(low_32_bits(found->get<std::uint64_t>()));
    case nlohmann::json::value_t::number_float:
        return std::to_string(truncate_saturated(found->get<double>()));
    default:
        return {};
    }
}

std::string api_of(nlohmann::json const& status) {
    if (!status.is_object()) {
        return {};
    }
    auto const found = status.find("API");
    return found != status.end() && found->is_string() ? found->get<std::string>() : std::string();
}

namespace {

ScanResult& append_failed(ScanResults& results, std::string plugin_path, std::string description,
                          std::string error) {
    return results.emplace_back(std::in_place_type<DeviceQueryFailed>, std::move(plugin_path), std::move(description),
                                std::move(error));
}

}  // namespace

ScanResult& append_scan_result(ScanResults& results, std::string plugin_path, std::string description,
                               RenderedRecord const& record) {
    if (!record.error.empty()) {
        return append_failed(results, std::move(plugin_path), std::move(description), record.error);
    }
    if (!record.has_info) {
        return append_failed(results, std::move(plugin_path), std::move(description), "no info returned");
    }
    return results.emplace_back(std::in_place_type<DeviceFound>, std::move(plugin_path), std::move(description),
                                record.serial_number, record.api, record.info, record.status);
}

}  // namespace zelm::detail
