// Scanning plug-ins for devices. Each listed device is reported as found,
// occupied or failed to query. Answers are shared for five seconds by every
// scan on the machine through the query cache in the lock directory.
#pragma once

#include <zelm/export.hpp>

#include <filesystem>
#include <string>
#include <variant>
#include <vector>

namespace zelm {

// The device is free and answered its query. All members are text; members
// are in a fixed order (aggregate initialisation relies on it).
struct DeviceFound {
    std::string plugin_path;    // the plug-in path exactly as passed to the scan
    std::string description;    // compact JSON
    std::string serial_number;  // from info's "Serial Number"; may be empty
    std::string api;            // status's "API" when a string; may be empty
    std::string info;           // compact JSON
    std::string status;         // compact JSON, or empty when none
};

// Another owner holds the device's ownership lock; it was not queried.
struct DeviceOccupied {
    std::string plugin_path;
    std::string description;
};

// The device is free but its query gave no information.
struct DeviceQueryFailed {
    std::string plugin_path;
    std::string description;
    std::string error;  // never empty
};

using ScanResult = std::variant<DeviceFound, DeviceOccupied, DeviceQueryFailed>;
using ScanResults = std::vector<ScanResult>;

// Scans each plug-in in order and reports its devices in device-list order.
// A plug-in that cannot be loaded or fails half-way costs its own (remaining)
// devices and one warning on the default logger; a device whose query fails
// becomes a DeviceQueryFailed. Throws only exceptions that do not derive from
// std::exception (from plug-in code).
ZELM_API ScanResults scan_devices(std::vector<std::filesystem::path> const& plugin_paths);

// Scans the plug-ins in `directory`: regular files or symbolic links whose
// extension is ".so", ".dll" or ".dylib" and whose name contains "_manager",
// in directory-listing order. A missing directory, or one that is not a
// directory, logs a warning and yields no results. Throws
// std::filesystem::filesystem_error when the directory cannot be read, and
// what scan_devices throws.
ZELM_API ScanResults scan_devices_dir(std::filesystem::path const& directory);

}  // namespace zelm
