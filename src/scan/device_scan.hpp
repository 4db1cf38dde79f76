// The per-plug-in steps of scan_devices: reading a manager's device list and
// scanning one listed device. Internal; the fuzz targets drive them with
// managers of their own.
#pragma once

#include <zelm/device_manager.hpp>
#include <zelm/scan.hpp>

#include "cluster/lab_scan.hpp"
#include "locking/lock_directory.hpp"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <memory>

namespace zelm::detail {

// The manager's device list; nothing when the call throws anything or its
// text is not one JSON value (nested at most max_json_depth levels). Either
// way the plug-in is skipped silently.
nlohmann::json list_devices(DeviceManager& manager);

// What a scan keeps across its devices.
struct ScanSession {
    ScanLockDirectory lock_directory;
    LabScan lab;
};

// One listed device as occupied, found or failed.
ScanResult scan_device(std::filesystem::path const& plugin_path, std::shared_ptr<DeviceManager> const& manager,
                       nlohmann::json const& device);
// The same within a scan's session.
ScanResult scan_device(std::filesystem::path const& plugin_path, std::shared_ptr<DeviceManager> const& manager,
                       nlohmann::json const& device, ScanSession& session);

}  // namespace zelm::detail
