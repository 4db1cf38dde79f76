// One device, as a scan sees it: what the shared query cache knows of it,
// without scanning the rest of its plug-in and without owning it. A tool that
// shows a device's information uses these instead of opening the device, so
// that it works while another process owns the device.
//
// A failed live query is logged as a scan logs it (see <zelm/scan.hpp>).
#pragma once

#include <zelm/export.hpp>
#include <zelm/scan.hpp>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

namespace zelm {

// The one device that `description` names among those of the plug-in at
// `plugin_path`, as scan_devices would report it now: occupied when another
// owner holds it (it is then neither opened nor looked up in the cache),
// else found or failed from the query cache, or from one live query of the
// device when the cache holds no fresh answer. `description` is JSON text of
// one listed description, in any spacing or member order; the device is
// known by its compact text, which the result carries. The result's
// plugin_path is `plugin_path` exactly as passed. The manager is loaded as
// get_device_manager loads it. Throws what get_device_manager throws,
// nlohmann::json::parse_error when `description` is not JSON,
// std::filesystem::filesystem_error when the system temporary directory
// cannot be determined, what the manager's get_path throws, std::bad_alloc,
// and what non-standard exceptions the plug-in throws during the query; a
// live query that throws a standard exception becomes a DeviceQueryFailed.
ZELM_API ScanResult query_device(std::filesystem::path const& plugin_path, std::string const& description);

// A device's last answer in the shared query cache, however old.
struct CachedAnswer {
    // DeviceFound or DeviceQueryFailed, as the scan that asked the device
    // reported it.
    ScanResult result;
    // Since the answer was stored: zero for a time stamp ahead of the clock,
    // nanoseconds::max() for one too far behind it to count.
    std::chrono::nanoseconds age{};
};

// The last answer that the shared query cache holds for the device that
// `description` names under the plug-in at `plugin_path` (arguments as for
// query_device), also when it is too old for a scan to use: what an
// occupied device said when it was last free. Reads the cache file under
// its lock, as every scan does, and touches neither the device nor its
// ownership. None when the device was never queried, and when the file
// cannot be opened safely, is empty, too large, not a well-formed record or
// a record of another device: every user can write these files, so what is
// in them is checked, never trusted. Throws what query_device throws before
// its query.
ZELM_API std::optional<CachedAnswer> last_cached_answer(std::filesystem::path const& plugin_path,
                                                        std::string const& description);

}  // namespace zelm
