// The last device list each plug-in path gave this process, with what a scan
// derives from it. The same text always parses to the same devices, so a
// later scan that reads the same text (byte for byte) neither parses nor
// serialises it again.
#pragma once

#include <nlohmann/json.hpp>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace zelm::detail {

// One listed device: its description, the description's compact text and
// its lock identity.
struct ListedDevice {
    nlohmann::json value;
    std::string description;
    std::string lock_id;
};

// A device list as a scan of one plug-in path read it.
struct DeviceList {
    std::string text;
    std::optional<std::string> manager_path;  // the identities' path; none when it differed between devices
    std::vector<ListedDevice> devices;
};

class DeviceListCache {
public:
    // The list kept for `plugin_path` when it was read from `text`.
    std::shared_ptr<DeviceList const> find(std::string const& plugin_path, std::string const& text) const;
    // Keeps `list`, replacing the one kept for `plugin_path`.
    void keep(std::string const& plugin_path, std::shared_ptr<DeviceList const> list);
    // For tests: forgets every list.
    void clear();

private:
    mutable std::mutex mutex_;
    // One entry per plug-in path ever scanned; replaced, never erased.
    std::unordered_map<std::string, std::shared_ptr<DeviceList const>> lists_;
};

// The one cache of this process.
DeviceListCache& device_lists();

}  // namespace zelm::detail
