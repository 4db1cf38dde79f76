// Building one scan result from a device's query outcome.
#pragma once

#include <zelm/scan.hpp>

#include "scan/query_record.hpp"

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace zelm::detail {

// "Serial Number" of a device's information: a string as it is, a number as a
// signed 32-bit decimal (integers keep their low 32 bits, floating values are
// truncated toward zero and saturate at the ends of the range), else empty.
std::string serial_number_of(nlohmann::json const& info);

// "API" of a device's status when it is a string, else empty.
std::string api_of(nlohmann::json const& status);

// Appends the result of a device's answer to `results` and returns it, built
// in place (a scan of many devices would otherwise move every string twice).
// An error wins over information; neither gives "no info returned".
ScanResult& append_scan_result(ScanResults& results, std::string plugin_path, std::string description,
                               RenderedRecord const& record);

}  // namespace zelm::detail
