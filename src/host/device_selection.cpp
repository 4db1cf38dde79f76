// select_device: the candidates of every plug-in searched, then the one the
// selector names. Only a serial number needs a scan; anything else is
// matched against the device lists alone, so choosing a device by its
// description queries nothing.
#include <zelm/scan.hpp>
#include <zelm/select.hpp>

#include "json/bounded_json.hpp"
#include "text/one_line.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <iterator>
#include <stdexcept>

namespace zelm {
namespace {

[[noreturn]] void throw_unlistable(std::filesystem::path const& plugin, std::string const& reason) {
    throw std::runtime_error(
        fmt::format("cannot list the devices of {}: {}", plugin.filename().native(), detail::one_line(reason)));
}

struct Search {
    std::vector<DeviceCandidate> candidates;
    std::vector<std::string> unsearched;  // why each plug-in left out could not be searched
};

// The devices `plugin` lists now, as a scan reads its list.
void add_listed(std::filesystem::path const& plugin, Search& search) {
    auto const manager = get_device_manager(plugin);
    std::optional<nlohmann::json> list;
    try {
        list = detail::parse_bounded(manager->list_devices());
    } catch (std::exception const& e) {
        throw_unlistable(plugin, e.what());
    }
    if (!list) {
        throw_unlistable(plugin, "its device list is not JSON, or is nested too deep");
    }
    for (auto const& device : *list) {
        try {
            search.candidates.push_back({plugin, device.dump()});
        } catch (nlohmann::json::exception const& e) {
            throw_unlistable(plugin, e.what());
        }
    }
}

DeviceCandidate scanned_candidate(ScannedDevice const& device) {
    struct Candidate {
        DeviceCandidate operator()(DeviceFound const& found) const {
            return {found.plugin_path, found.description, found.serial_number};
        }
        DeviceCandidate operator()(DeviceQueryFailed const& failed) const {
            return {failed.plugin_path, failed.description, std::nullopt, failed.error};
        }
        DeviceCandidate operator()(DeviceOccupied const& occupied) const {
            return {occupied.plugin_path, occupied.description, device.last_serial_number, device.lock_error};
        }
        ScannedDevice const& device;
    };
    return std::visit(Candidate{device}, device.result);
}

// The devices a scan of `plugin` reports, with the serial number each shows
// (or showed when last free) and the error of each that could not be queried.
void add_scanned(std::filesystem::path const& plugin, Search& search) {
    // Loaded first, so that a plug-in that does not load says why in its
    // own type; kept for the scan, which then loads nothing again.
    auto const manager = get_device_manager(plugin);
    auto const report = scan_devices_report({plugin});
    if (!report.failures.empty()) {
        throw_unlistable(plugin, report.failures.front().reason);
    }
    std::ranges::transform(report.devices, std::back_inserter(search.candidates), scanned_candidate);
}

std::string searched_name(std::vector<std::filesystem::path> const& plugins, SelectOptions const& options) {
    if (options.searched) {
        return *options.searched;
    }
    return plugins.size() == 1 ? plugins.front().filename().native() : "the plug-ins given";
}

}  // namespace

SelectedDevice select_device(std::vector<std::filesystem::path> const& plugins, DeviceSelector const& selector,
                             SelectOptions const& options) {
    Search search;
    for (auto const& plugin : plugins) {
        try {
            if (selector.kind() == DeviceSelector::Kind::serial_number) {
                add_scanned(plugin, search);
            } else {
                add_listed(plugin, search);
            }
        } catch (std::exception const& e) {
            if (!options.skip_failed_plugins) {
                throw;
            }
            search.unsearched.push_back(detail::one_line(e.what()));
        }
    }
    auto const& chosen = choose_device(selector, search.candidates, searched_name(plugins, options), search.unsearched);
    return {chosen.plugin_path, get_device_manager(chosen.plugin_path), chosen.description};
}

}  // namespace zelm
