// What the tool reports per scanned device: the library's scan result and,
// for an occupied device, who holds it. Also the records' transport between
// processes, which the isolated scan uses to bring a child's results back.
#pragma once

#include "device_owner.hpp"

#include <zelm/scan.hpp>

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace zelm::tool {

struct ScanRecord {
    ScanResult result;
    std::optional<DeviceOwner> owner;  // an occupied device's holder, when identified
};

using ScanRecords = std::vector<ScanRecord>;

// Lossless JSON text of the records: the library's texts travel as strings,
// not re-parsed, so records_from_wire gives back exactly what went in (bytes
// that are not UTF-8 aside, which become replacement characters).
std::string records_to_wire(ScanRecords const& records);

// Throws nlohmann::json::exception when `text` is not what records_to_wire
// writes (for example cut short).
ScanRecords records_from_wire(std::string const& text);

}  // namespace zelm::tool
