// Choosing and opening a managed device, with messages that say which step
// failed.
#include "device_session.hpp"

#include "holder_output.hpp"
#include "last_scan.hpp"
#include "plugin_directory.hpp"

#include <zelm/cluster.hpp>
#include <zelm/device_manager.hpp>
#include <zelm/errors.hpp>
#include <zelm/managed_device.hpp>
#include <zelm/owner.hpp>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <string_view>
#include <utility>

namespace zelm::tool {

namespace fs = std::filesystem;

namespace {

bool same_file(fs::path const& a, fs::path const& b) {
    return fs::weakly_canonical(fs::absolute(a)) == fs::weakly_canonical(fs::absolute(b));
}

// The device on row `row` of the last scan's table, while its plug-in, which
// must be the one named with it if any, still lists its description.
SelectedDevice row_device(DeviceTarget const& target, std::size_t row) {
    auto const table = load_last_scan(last_scan_directory());
    auto const& entry = table_row(row, table);
    if (target.plugin && !same_file(resolve_plugin(*target.plugin), entry.plugin)) {
        throw UsageError(fmt::format("row {} of the last scan is a device of {}, not of {}", row,
                                     entry.plugin.native(), target.plugin->native()));
    }
    UsageError const stale(fmt::format("row {} of the last scan ({} of {}) is no longer listed; run `zelm scan` again",
                                       row, entry.description, entry.plugin.native()));
    auto description = nlohmann::json::parse(entry.description, nullptr, false);
    if (description.is_discarded() || !fs::exists(entry.plugin)) {
        throw stale;
    }
    try {
        return select_device({entry.plugin}, DeviceSelector::of_description(std::move(description)));
    } catch (NoMatchingDeviceError const&) {
        throw stale;
    }
}

SelectedDevice selected_device(DeviceTarget const& target, DeviceSelector const& selector) {
    if (target.plugin) {
        return select_device({resolve_plugin(*target.plugin)}, selector);
    }
    auto const directory = default_plugin_directory();
    return select_device(plugin_files(directory), selector,
                         {.searched = "the plug-ins in " + directory.native(), .skip_failed_plugins = true});
}

// The library's message for an ownership that could not be taken, or a
// device that did not open, after the device's name.
[[noreturn]] void fail_to(std::string_view verb, std::string const& name, std::exception const& e) {
    std::throw_with_nested(std::runtime_error(fmt::format("cannot {} {}: {}", verb, name, e.what())));
}

}  // namespace

SelectedDevice choose_device(DeviceTarget const& target) {
    try {
        if (auto const* row = std::get_if<RowSelector>(&target.selector)) {
            return row_device(target, row->row);
        }
        return selected_device(target, std::get<DeviceSelector>(target.selector));
    } catch (PluginLoadError const& e) {
        std::throw_with_nested(
            std::runtime_error(fmt::format("cannot load plug-in {}: {}", e.plugin_path().native(), e.reason())));
    }
}

std::string device_name(SelectedDevice const& device) {
    return fmt::format("device {} ({})", device.description, device.plugin_path.filename().native());
}

DeviceSession open_chosen_device(SelectedDevice const& chosen) {
    auto const name = device_name(chosen);
    try {
        return {name, chosen.manager->open_managed_device(chosen.description)};
    } catch (DeviceOccupiedError const& e) {
        // People otherwise hunt for the process that holds a device by hand.
        auto const holder = holder_of(e);
        auto message = fmt::format("cannot own {}: {}{}", name, e.what(), by_holder(holder));
        std::throw_with_nested(OccupiedError(message, holder));
    } catch (LockUnusableError const& e) {
        fail_to("own", name, e);
    } catch (cluster::UnavailableError const& e) {
        fail_to("own", name, e);
    } catch (std::exception const& e) {
        fail_to("open", name, e);
    }
}

DeviceSession open_managed_device(DeviceTarget const& target) { return open_chosen_device(choose_device(target)); }

}  // namespace zelm::tool
