// Scanning plug-ins for devices. Each listed device is reported as found,
// occupied or failed to query. Answers are shared for five seconds by every
// scan on the machine through the query cache in the lock directory.
//
// Diagnostics (a plug-in skipped, a device query that failed) go to spdlog's
// process-wide default logger, at warning and error level; the library never
// creates or configures a logger. spdlog's own default writes to standard
// output, so a host whose standard output is data directs them elsewhere
// before scanning, for example to standard error:
//   #include <spdlog/sinks/stdout_color_sinks.h>
//   spdlog::set_default_logger(spdlog::stderr_color_mt("zelm"));
#pragma once

#include <zelm/export.hpp>
#include <zelm/holder.hpp>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
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

// Where a scan is: told after each device it has scanned.
struct ScanProgress {
    std::size_t plugin_index = 0;  // the device's plug-in, in `plugin_paths`
    std::size_t plugin_count = 0;  // plug-ins in `plugin_paths`
    std::size_t devices_done = 0;  // devices scanned so far, this one included, all plug-ins together
};

using ScanProgressCallback = std::function<void(ScanProgress const&)>;

// The same scan, calling `progress` on the scanning thread after each device
// (found, occupied or failed alike), so that a host can show how far a long
// scan is without knowing in advance how many devices there are. An empty
// `progress` is never called. An exception from `progress` ends the scan at
// once and leaves it unchanged (its results are lost); otherwise it throws
// what the overload without progress throws.
ZELM_API ScanResults scan_devices(std::vector<std::filesystem::path> const& plugin_paths,
                                  ScanProgressCallback const& progress);

// True when `path`'s file name is one that scan_devices_dir takes for a
// plug-in: extension ".so", ".dll" or ".dylib" and "_manager" in the name.
// Looks at the name only. Throws std::bad_alloc only.
ZELM_API bool is_plugin_file_name(std::filesystem::path const& path);

// Scans the plug-ins in `directory`: regular files or symbolic links whose
// file name is a plug-in's (see is_plugin_file_name), in directory-listing
// order. A missing directory, or one that is not a
// directory, logs a warning and yields no results. Throws
// std::filesystem::filesystem_error when the directory cannot be read, and
// what scan_devices throws.
ZELM_API ScanResults scan_devices_dir(std::filesystem::path const& directory);

// The plug-in files in `directory`, as scan_devices_dir picks them (regular
// files or symbolic links whose file name is a plug-in's, see
// is_plugin_file_name), sorted by name so that what hosts show is stable.
// Throws std::filesystem::filesystem_error naming the directory when it does
// not exist, is not a directory or cannot be read.
ZELM_API std::vector<std::filesystem::path> list_plugin_files(std::filesystem::path const& directory);

// A scanned device with what the scan learnt about it besides its result.
struct ScannedDevice {
    ScanResult result;
    // The manager's get_path() when the device was scanned: with the
    // description, what names the device's lock and its cluster key.
    std::string manager_path;
    // For an occupied device: who holds it, when that can be told (see
    // find_device_holder), and the serial number it showed when it was last
    // queried on this machine, however long ago (none when never).
    std::optional<DeviceHolder> holder = std::nullopt;
    std::optional<std::string> last_serial_number = std::nullopt;
    // For an occupied device with no holder to be named: why its lock could
    // not be used, when that is why it counts as occupied (an unsafe lock
    // directory, an unusable lock file). It was then not queried either.
    std::optional<std::string> lock_error = std::nullopt;
};

// Why a plug-in gave no devices (or no more devices).
struct PluginFailure {
    enum class Step {
        load,      // get_device_manager failed (reason: its message)
        list,      // list_devices threw, or its text is not one JSON value
        get_path,  // the manager's get_path threw
    };
    std::string plugin_path;  // exactly as passed
    Step step = Step::load;
    std::string reason;       // one line
};

struct ScanOptions {
    // Plug-ins scanned at once, each on a thread of its own; 0 counts as 1.
    // Results keep the order of the plug-ins and of their lists whatever the
    // number.
    unsigned jobs = 1;
    // Told after each device, as scan_devices tells it; with jobs above 1
    // from the scanning threads, one call at a time.
    ScanProgressCallback progress;
};

struct ScanReport {
    std::vector<ScannedDevice> devices;   // in plug-in and list order
    std::vector<PluginFailure> failures;  // in plug-in order
};

// The scan of scan_devices, reporting what it learns instead of logging it:
// each device with its manager path (and, when occupied, its holder and last
// serial number), and each plug-in that failed with the step and the reason.
// It logs nothing: a failed query's error is in its DeviceQueryFailed. A
// progress callback's exception ends the scan (once the other threads have
// finished their current device) and is thrown. Throws the first (in plug-in
// order) exception from plug-in code that does not derive from
// std::exception, and std::system_error when a thread cannot be started.
ZELM_API ScanReport scan_devices_report(std::vector<std::filesystem::path> const& plugin_paths,
                                        ScanOptions const& options = {});

}  // namespace zelm
