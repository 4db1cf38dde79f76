// Fuzz target: the device-list text a manager returns. Checks how the scan
// reads it (one JSON value nested at most max_json_depth levels, or nothing)
// and walks it (the documented rule for arrays, objects, null and single
// values), and, for the first few listed devices, that the scan finds each
// free device with a description that parses back to itself, opens each
// device once, and that owning a device with the description the scan
// reported makes the scan see it occupied.
#include "fake_manager.hpp"
#include "harness.hpp"

#include "json/bounded_json.hpp"
#include "scan/device_scan.hpp"

#include <zelm/lock.hpp>

#include <set>
#include <string>
#include <variant>
#include <vector>

namespace zelm::fuzz {
namespace {

using nlohmann::json;

constexpr char const* plugin_path = "/fuzz/list_manager.so";
// Every scanned device costs a few lock files; the walk is checked on all.
constexpr std::size_t max_scanned_devices = 3;

// The devices a list names, spelled out from the stored containers rather
// than through json's own iteration.
std::vector<json const*> expected_devices(json const& list) {
    std::vector<json const*> devices;
    if (list.is_array()) {
        for (auto const& element : list.get_ref<json::array_t const&>()) {
            devices.push_back(&element);
        }
    } else if (list.is_object()) {
        for (auto const& [key, value] : list.get_ref<json::object_t const&>()) {
            devices.push_back(&value);
        }
    } else if (!list.is_null()) {
        devices.push_back(&list);
    }
    return devices;
}

void check_scan_of(std::shared_ptr<FakeManager> const& manager, json const& device, std::set<std::string>& ids) {
    auto const result = detail::scan_device(plugin_path, manager, device);
    auto const* found = std::get_if<DeviceFound>(&result);
    require(found != nullptr, "a free device that answers is reported found");
    require(found->plugin_path == plugin_path, "found: the plug-in path as passed");
    require(found->serial_number == "fake" && found->api == "fake", "found: the device's answers");

    auto const reparsed = json::parse(found->description, nullptr, false);
    require(!reparsed.is_discarded(), "the reported description is JSON");
    require(reparsed.dump() == found->description, "the reported description is compact and dumps to itself");
    auto const id = detail::make_lock_id(manager->get_path(), device);
    require(detail::make_lock_id(manager->get_path(), reparsed) == id,
            "the reported description names the lock the scan checked");

    ids.insert(id);
    require(manager->opens == static_cast<int>(ids.size()), "each distinct device is opened once");

    auto const owned = detail::acquire_device_ownership_lock(manager->get_path().native(), found->description);
    require(owned != nullptr && owned->held(), "a scanned free device can be owned by its description");
    auto const again = detail::scan_device(plugin_path, manager, device);
    auto const* occupied = std::get_if<DeviceOccupied>(&again);
    require(occupied != nullptr && occupied->description == found->description,
            "an owned device is reported occupied under the same description");
}

}  // namespace

void run_one(std::string_view input) {
    static auto const manager = std::make_shared<FakeManager>(plugin_path);
    reset_caches();
    manager->opens = 0;
    manager->list = std::string(input);

    auto const list = detail::list_devices(*manager);
    std::vector<json const*> walked;
    for (auto const& device : list) {
        walked.push_back(&device);
    }
    require(walked == expected_devices(list), "the scan walks arrays, objects, null and single values as documented");

    std::set<std::string> ids;
    for (std::size_t i = 0; i < walked.size() && i < max_scanned_devices; ++i) {
        check_scan_of(manager, *walked[i], ids);
    }

    auto const parsed = json::parse(input, nullptr, false);
    if (parsed.is_discarded() || nesting_depth(parsed) > detail::max_json_depth) {
        require(list.is_null(), "a list that is not one JSON value, or nests too deeply, gives no devices");
    } else {
        require(list == parsed, "a JSON list is read as that value");
    }
}

}  // namespace zelm::fuzz
