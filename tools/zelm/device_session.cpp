// Opening a managed device, with messages that say which step failed.
#include "device_session.hpp"

#include "arguments.hpp"
#include "device_list.hpp"
#include "device_owner.hpp"
#include "last_scan.hpp"
#include "plugin_directory.hpp"
#include "scan_command.hpp"
#include "selector.hpp"

#include <zelm/cluster.hpp>
#include <zelm/device_manager.hpp>
#include <zelm/lock.hpp>
#include <zelm/managed_device.hpp>
#include <zelm/owner.hpp>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <exception>
#include <iterator>
#include <type_traits>
#include <variant>
#include <stdexcept>
#include <string_view>

namespace zelm::tool {

namespace fs = std::filesystem;

namespace {

// The texts with which open_managed_device reports that the device's
// ownership lock could not be taken safely, as opposed to a failed open.
constexpr std::string_view no_device = "Device Manager returned no device";
constexpr std::string_view lock_failures[] = {"Lock directory ", "Cannot open device lock file: "};

bool is_lock_failure(std::string_view message) {
    return std::ranges::any_of(lock_failures, [&](std::string_view text) { return message.starts_with(text); });
}

std::shared_ptr<DeviceManager> load_manager(fs::path const& plugin) {
    return explained("cannot load plug-in " + plugin.native(), [&] { return load_plugin(plugin); });
}

// The devices that `plugin` lists now, without their serial numbers.
std::vector<Candidate> listed_candidates(fs::path const& plugin) {
    auto const manager = load_manager(plugin);
    auto listed = explained("cannot list the devices of " + plugin.filename().native(),
                            [&] { return listed_descriptions(manager->list_devices()); });
    std::vector<Candidate> candidates;
    for (auto& description : listed) {
        candidates.push_back({plugin, std::move(description), std::nullopt});
    }
    return candidates;
}

// What a search found: the devices it can tell apart, the plug-ins it had to
// leave out, and the devices that a scan counted as occupied although no
// holder was found, which may be devices whose lock files cannot be used.
struct Search {
    std::vector<Candidate> candidates;
    std::vector<std::string> unsearched;  // why each plug-in left out could not be searched
    std::vector<std::size_t> unknown_holder;  // indexes into candidates
};

// The devices that a scan of `plugin` reports, with the serial number it
// shows for each free one and the error of each that failed its query.
void add_scanned_candidates(fs::path const& plugin, Search& search) {
    load_manager(plugin);  // the scan alone would say nothing when it fails
    auto const records = scan_plugin(plugin);
    if (records.empty()) {
        // The scan skips a plug-in whose list fails without a word: listing
        // says why, or finds the list empty indeed.
        std::ranges::move(listed_candidates(plugin), std::back_inserter(search.candidates));
        return;
    }
    for (auto const& record : records) {
        std::visit(
            [&](auto const& result) {
                using Result = std::decay_t<decltype(result)>;
                Candidate candidate{plugin, nlohmann::json::parse(result.description), std::nullopt};
                if constexpr (std::is_same_v<Result, DeviceFound>) {
                    candidate.serial = result.serial_number;
                } else if constexpr (std::is_same_v<Result, DeviceQueryFailed>) {
                    candidate.query_error = result.error;
                } else if (!record.owner) {
                    search.unknown_holder.push_back(search.candidates.size());
                }
                search.candidates.push_back(std::move(candidate));
            },
            record.result);
    }
}

// The candidates of every plug-in searched. A plug-in named by the caller
// fails the command when it cannot be searched; one of the directory is only
// left out, so that one broken plug-in does not hide every other device.
Search searched_candidates(DeviceTarget const& target, std::vector<fs::path> const& plugins) {
    bool const serial = std::holds_alternative<SerialSelector>(target.selector.kind);
    Search search;
    for (auto const& plugin : plugins) {
        try {
            if (serial) {
                add_scanned_candidates(plugin, search);
            } else {
                std::ranges::move(listed_candidates(plugin), std::back_inserter(search.candidates));
            }
        } catch (std::exception const& e) {
            if (target.plugin) {
                throw;
            }
            search.unsearched.push_back(one_line(e.what()));
            spdlog::warn("{}", search.unsearched.back());
        }
    }
    return search;
}

// Why a device that a scan counted as occupied, with no holder to be found,
// was not queried when its lock files cannot be used (a refused lock
// directory, say): owning it says, as the scan does not. None when another
// process holds it indeed, or nobody does by now. Takes its ownership lock
// for an instant when it is free, as the scan's own probe does.
std::optional<std::string> lock_refusal(Candidate const& candidate) {
    try {
        auto const manager = load_manager(candidate.plugin);
        detail::acquire_device_ownership_lock(manager->get_path().native(), candidate.description.dump());
        return std::nullopt;
    } catch (DeviceOccupiedError const&) {
        return std::nullopt;
    } catch (std::exception const& e) {
        return one_line(e.what());
    }
}

// For the error of a selector that names nothing: the devices counted as
// occupied that were not queried because their lock files cannot be used.
void explain_unknown_holders(Search& search) {
    for (auto const index : search.unknown_holder) {
        search.candidates[index].query_error = lock_refusal(search.candidates[index]);
    }
}

std::vector<fs::path> searched_plugins(DeviceTarget const& target) {
    return target.plugin ? std::vector{resolve_plugin(*target.plugin)} : plugin_files(default_plugin_directory());
}

std::string searched_name(DeviceTarget const& target) {
    return target.plugin ? resolve_plugin(*target.plugin).filename().native()
                         : "the plug-ins in " + default_plugin_directory().native();
}

// The device on row `row` of the last scan's table, which must be a device of
// the plug-in named with it, if any.
Candidate row_device(DeviceTarget const& target, std::size_t row) {
    auto const table = load_last_scan(last_scan_directory());
    std::vector<Candidate> candidates;
    if (row >= 1 && row <= table.size()) {
        auto const& plugin = table[row - 1].plugin;
        if (target.plugin && fs::weakly_canonical(fs::absolute(resolve_plugin(*target.plugin))) !=
                                 fs::weakly_canonical(plugin)) {
            throw UsageError(fmt::format("row {} of the last scan is a device of {}, not of {}", row,
                                         plugin.native(), target.plugin->native()));
        }
        if (fs::exists(plugin)) {
            candidates = listed_candidates(plugin);
        }
    }
    return row_candidate(row, table, candidates);
}

Candidate target_candidate(DeviceTarget const& target) {
    if (auto const* row = std::get_if<RowSelector>(&target.selector.kind)) {
        return row_device(target, row->row);
    }
    auto search = searched_candidates(target, searched_plugins(target));
    if (matching(target.selector, search.candidates).empty()) {
        explain_unknown_holders(search);
    }
    return chosen_candidate(target.selector, search.candidates, searched_name(target), search.unsearched);
}

}  // namespace

ChosenDevice choose_device(DeviceTarget const& target) {
    auto candidate = target_candidate(target);
    auto manager = load_manager(candidate.plugin);
    return {std::move(candidate.plugin), std::move(manager), std::move(candidate.description)};
}

std::string device_name(ChosenDevice const& device) {
    return fmt::format("device {} ({})", device.description.dump(), device.plugin.filename().native());
}

DeviceSession open_chosen_device(ChosenDevice const& chosen) {
    auto name = device_name(chosen);
    try {
        auto device = chosen.manager->open_managed_device(chosen.description.dump());
        return {std::move(name), std::move(device)};
    } catch (cluster::HeldElsewhereError const& e) {
        throw HeldElsewhere(
            fmt::format("cannot own {}: {}{}", name, e.what(), by_owner(lab_holder(e.lab_owner()))));
    } catch (DeviceOccupiedError const& e) {
        // People otherwise hunt for the process that holds a device by hand.
        throw OccupiedError(fmt::format("cannot own {}: {}{}", name, e.what(), by_owner(local_holder(e.owner()))));
    } catch (cluster::UnavailableError const& e) {
        throw std::runtime_error(fmt::format("cannot own {}: {}", name, e.what()));
    } catch (std::exception const& e) {
        std::string_view const message = e.what();
        if (message.starts_with(no_device)) {
            throw std::runtime_error(fmt::format("cannot open {}: the plug-in returned no device", name));
        }
        throw std::runtime_error(fmt::format("cannot {} {}: {}", is_lock_failure(message) ? "own" : "open", name,
                                             message));
    }
}

DeviceSession open_managed_device(DeviceTarget const& target) { return open_chosen_device(choose_device(target)); }

}  // namespace zelm::tool
