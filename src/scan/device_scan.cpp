// scan_devices: every device of every plug-in, as found, occupied or failed.
// A plug-in that fails costs its own (remaining) devices and one warning; a
// device whose query fails costs one failed result.
#include <zelm/lock.hpp>
#include <zelm/scan.hpp>

#include "json/bounded_json.hpp"
#include "locking/lock_identity.hpp"
#include "locking/ownership_probe.hpp"
#include "scan/device_scan.hpp"
#include "scan/query_cache.hpp"
#include "scan/scan_results.hpp"

#include <spdlog/spdlog.h>

#include <mutex>
#include <optional>
#include <unordered_map>

namespace zelm {
namespace detail {

nlohmann::json list_devices(DeviceManager& manager) {
    try {
        return parse_bounded(manager.list_devices()).value_or(nullptr);
    } catch (...) {
        return nullptr;
    }
}

namespace {

// A device list as a scan of one plug-in path read it: the list's text, the
// manager path its identities were derived under, and each listed device
// (in iteration order) with its compact description and lock identity.
struct ListedDevice {
    nlohmann::json value;
    std::string description;
    std::string lock_id;
};
struct DeviceList {
    std::string text;
    std::optional<std::string> manager_path;  // none when it differed between devices
    std::vector<ListedDevice> devices;
};

// The last complete device list of each plug-in path. The same text always
// parses to the same devices, so a later scan that reads the same text (byte
// for byte) neither parses nor serialises again. Entries are replaced, never
// erased: one per plug-in path that was scanned.
std::mutex device_lists_mutex;
std::unordered_map<std::string, std::shared_ptr<DeviceList const>> device_lists;

std::shared_ptr<DeviceList const> last_device_list(std::string const& plugin_path, std::string const& text) {
    std::shared_ptr<DeviceList const> list;
    {
        std::lock_guard guard(device_lists_mutex);
        if (auto const found = device_lists.find(plugin_path); found != device_lists.end()) {
            list = found->second;
        }
    }
    return list && list->text == text ? list : nullptr;
}

void keep_device_list(std::string const& plugin_path, std::shared_ptr<DeviceList const> list) {
    std::lock_guard guard(device_lists_mutex);
    device_lists.insert_or_assign(plugin_path, std::move(list));
}

void scan_listed_device(std::filesystem::path const& plugin_path, std::shared_ptr<DeviceManager> const& manager,
                        nlohmann::json const& device, std::string description, std::string const& lock_id,
                        ScanLockDirectory& lock_directory, ScanResults& results) {
    auto const& directory = lock_directory.current();
    if (is_device_occupied(lock_id, directory)) {
        results.emplace_back(std::in_place_type<DeviceOccupied>, plugin_path.native(), std::move(description));
        return;
    }
    auto const answer = query_device_for_scan(manager, device, lock_id, directory);
    if (answer.rendered) {
        append_scan_result(results, plugin_path.native(), std::move(description), *answer.rendered);
    } else {
        append_scan_result(results, plugin_path.native(), std::move(description), answer.outcome);
    }
}

}  // namespace

ScanResult scan_device(std::filesystem::path const& plugin_path, std::shared_ptr<DeviceManager> const& manager,
                       nlohmann::json const& device, ScanLockDirectory& lock_directory) {
    auto const manager_path = manager->get_path();
    // Serialised once: the text is both the identity's input and the result's.
    auto description = device.dump();
    auto const lock_id = make_lock_id_from_text(manager_path.native(), description);
    ScanResults results;
    scan_listed_device(plugin_path, manager, device, std::move(description), lock_id, lock_directory, results);
    return std::move(results.front());
}

ScanResult scan_device(std::filesystem::path const& plugin_path, std::shared_ptr<DeviceManager> const& manager,
                       nlohmann::json const& device) {
    ScanLockDirectory lock_directory;
    return scan_device(plugin_path, manager, device, lock_directory);
}

namespace {

// The devices of one plug-in, scanned in list order into `results`.
void scan_device_list(std::filesystem::path const& plugin_path, std::shared_ptr<DeviceManager> const& manager,
                      ScanLockDirectory& lock_directory, ScanResults& results) {
    std::string text;
    try {
        text = manager->list_devices();
    } catch (...) {
        return;  // skipped silently, like a list that is not JSON
    }
    if (auto const list = last_device_list(plugin_path.native(), text)) {
        results.reserve(results.size() + list->devices.size());
        for (auto const& device : list->devices) {
            // The manager is still asked for its path for every device.
            auto const manager_path = manager->get_path();
            bool const same_path = manager_path.native() == list->manager_path;
            std::string derived;
            if (!same_path) {
                derived = make_lock_id_from_text(manager_path.native(), device.description);
            }
            auto const& lock_id = same_path ? device.lock_id : derived;
            scan_listed_device(plugin_path, manager, device.value, device.description, lock_id, lock_directory,
                               results);
        }
        return;
    }
    std::optional<nlohmann::json> parsed;
    try {
        parsed = parse_bounded(text);
    } catch (...) {
    }
    if (!parsed) {
        return;
    }
    auto list = std::make_shared<DeviceList>();
    // An array gives its elements, an object its member values in key order,
    // null nothing, any other value itself.
    for (auto& device : *parsed) {
        auto const manager_path = manager->get_path();
        // Serialised once: the text is both the identity's input and the result's.
        auto description = device.dump();
        auto lock_id = make_lock_id_from_text(manager_path.native(), description);
        scan_listed_device(plugin_path, manager, device, description, lock_id, lock_directory, results);
        if (list->devices.empty()) {
            list->manager_path = manager_path.native();
        } else if (list->manager_path != manager_path.native()) {
            list->manager_path.reset();  // a manager whose path changes: identities are derived afresh
        }
        list->devices.push_back({std::move(device), std::move(description), std::move(lock_id)});
    }
    list->text = std::move(text);
    keep_device_list(plugin_path.native(), std::move(list));
}

}  // namespace
}  // namespace detail

namespace {

void scan_plugin(std::filesystem::path const& plugin_path, detail::ScanLockDirectory& lock_directory,
                 ScanResults& results) {
    // Declared outside the try block so that the plug-in stays loaded until
    // the exception, whose type and message may be the plug-in's, is gone.
    std::shared_ptr<DeviceManager> manager;
    try {
        manager = get_device_manager(plugin_path);
        detail::scan_device_list(plugin_path, manager, lock_directory, results);
    } catch (std::exception const& e) {
        spdlog::warn("Scanner skipped manager {}: {}", plugin_path.native(), e.what());
    }
}

}  // namespace

ScanResults scan_devices(std::vector<std::filesystem::path> const& plugin_paths) {
    ScanResults results;
    detail::ScanLockDirectory lock_directory;
    for (auto const& plugin_path : plugin_paths) {
        scan_plugin(plugin_path, lock_directory, results);
    }
    return results;
}

}  // namespace zelm
