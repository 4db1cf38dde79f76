// The per-plug-in steps of scan_devices: reading a manager's device list and
// scanning one listed device. Internal; the fuzz targets drive them with
// managers of their own.
#pragma once

#include <zelm/device_manager.hpp>
#include <zelm/scan.hpp>

#include "cluster/lab_scan.hpp"
#include "locking/lock_directory.hpp"
#include "scan/scan_progress.hpp"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zelm::detail {

// The manager's device list; nothing when the call throws anything or its
// text is not one JSON value (nested at most max_json_depth levels). Either
// way the plug-in is skipped silently.
nlohmann::json list_devices(DeviceManager& manager);

// What the report scan keeps beside each result, in the same order.
struct DeviceNote {
    std::string manager_path;
    std::string lock_id;
};

// What a scan keeps across its devices.
struct ScanSession {
    ScanLockDirectory lock_directory;
    LabScan lab;
    // Set by the report scan, which logs no failed query and notes each
    // result's manager path and identity.
    std::vector<DeviceNote>* notes = nullptr;
};

// The manager's get_path() threw: a standard exception of the plug-in's, its
// message kept.
class GetPathFailed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The devices of one plug-in, scanned in list order into `results`. Returns
// why the list was skipped (list_devices threw, or its text is not one JSON
// value within the nesting bound); none when it was scanned. Throws
// GetPathFailed, ProgressStopped, and what scanning a device throws.
std::optional<std::string> scan_device_list(std::filesystem::path const& plugin_path, DeviceManager& manager,
                                            ScanSession& session, ProgressTicker& ticker, ScanResults& results);

// One listed device as occupied, found or failed.
ScanResult scan_device(std::filesystem::path const& plugin_path, std::shared_ptr<DeviceManager> const& manager,
                       nlohmann::json const& device);
// The same within a scan's session.
ScanResult scan_device(std::filesystem::path const& plugin_path, std::shared_ptr<DeviceManager> const& manager,
                       nlohmann::json const& device, ScanSession& session);

}  // namespace zelm::detail
