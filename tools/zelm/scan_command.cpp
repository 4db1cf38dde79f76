// The scan command: choosing the plug-ins, scanning them in parallel (on
// threads, or isolated in child processes), identifying who holds occupied
// devices, and printing the results.
#include "scan_command.hpp"

#include "arguments.hpp"
#include "commands.hpp"
#include "exit_status.hpp"
#include "isolated_scan.hpp"
#include "last_scan.hpp"
#include "occupied_owner.hpp"
#include "output.hpp"
#include "plugin_directory.hpp"
#include "scan_output.hpp"
#include "status_line.hpp"

#include <zelm/device_manager.hpp>
#include <zelm/scan.hpp>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iterator>
#include <mutex>
#include <thread>

namespace zelm::tool {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A scan that ends sooner than this shows no progress at all.
constexpr auto progress_delay = 500ms;
constexpr auto progress_interval = 100ms;

// "scanning plug-ins: 2 of 7 done; devices scanned: 1234" on a terminal,
// once the scan has taken a while; gone when the scan is. One plug-in may
// have thousands of devices, so the plug-ins alone can stand still for
// minutes. An isolated scan's devices are counted in its children, which
// report only their results: it shows the plug-ins only.
class ProgressDisplay {
public:
    explicit ProgressDisplay(std::size_t total) : total_(total) {}
    ~ProgressDisplay() { StatusLine::instance().clear(); }
    ProgressDisplay(ProgressDisplay const&) = delete;
    ProgressDisplay& operator=(ProgressDisplay const&) = delete;

    void update(std::size_t done, std::optional<std::size_t> devices = std::nullopt) const {
        if (Clock::now() - start_ >= progress_delay) {
            auto const plugins = fmt::format("scanning plug-ins: {} of {} done", done, total_);
            StatusLine::instance().show(devices ? fmt::format("{}; devices scanned: {}", plugins, *devices) : plugins);
        }
    }

private:
    Clock::time_point const start_ = Clock::now();
    std::size_t const total_;
};

// What the scanning threads share: the next plug-in to take, one result slot
// per plug-in, and how many are done.
class ScanBoard {
public:
    explicit ScanBoard(std::vector<std::filesystem::path> const& plugins)
        : plugins_(plugins), results_(plugins.size()) {}

    // Scans plug-ins until none is left; runs on each scanning thread.
    void work() {
        for (auto index = next_++; index < plugins_.size(); index = next_++) {
            results_[index] = scan_plugin(plugins_[index], devices_done_);
            std::lock_guard guard(mutex_);
            ++done_;
            done_changed_.notify_all();
        }
    }

    void wait_showing_progress() {
        ProgressDisplay const progress(plugins_.size());
        std::unique_lock lock(mutex_);
        while (!done_changed_.wait_for(lock, progress_interval, [this] { return done_ == plugins_.size(); })) {
            progress.update(done_, devices_done_.load());
        }
    }

    ScanRecords merged() && {
        ScanRecords all;
        for (auto& records : results_) {
            std::ranges::move(records, std::back_inserter(all));
        }
        return all;
    }

private:
    std::vector<std::filesystem::path> const& plugins_;
    std::vector<ScanRecords> results_;  // each slot written by one thread only
    std::atomic<std::size_t> next_ = 0;
    std::atomic<std::size_t> devices_done_ = 0;  // by every thread's scan together
    std::mutex mutex_;  // guards done_
    std::condition_variable done_changed_;
    std::size_t done_ = 0;
};

// The plug-in's live manager, loaded now if need be; none when it does not
// load (the scan then says why, once).
std::shared_ptr<DeviceManager> try_manager(std::filesystem::path const& plugin) {
    try {
        return get_device_manager(plugin);
    } catch (...) {
        return nullptr;
    }
}

std::optional<std::filesystem::path> manager_path_of(std::shared_ptr<DeviceManager> const& manager) {
    try {
        return manager ? std::optional(manager->get_path()) : std::nullopt;
    } catch (...) {
        return std::nullopt;
    }
}

// The library lets only non-standard exceptions from plug-in code out of a
// scan. One plug-in's misbehaviour costs its own devices, as any other
// plug-in failure does in the library, not the whole scan.
ScanResults library_scan(std::filesystem::path const& plugin, ScanProgressCallback const& progress) {
    try {
        return scan_devices({plugin}, progress);
    } catch (...) {
        spdlog::warn("Scan of {} stopped by a non-standard exception from plug-in code", plugin.native());
        return {};
    }
}

// Why a plug-in that loaded has no device list, asking it once more (the
// library skips such a plug-in without a word); none when its list is fine.
std::optional<std::string> unlistable_reason(DeviceManager& manager) {
    try {
        if (!nlohmann::json::accept(manager.list_devices())) {
            return "its device list is not JSON";
        }
        return std::nullopt;
    } catch (std::exception const& e) {
        return e.what();
    } catch (...) {
        return "a non-standard exception from plug-in code";
    }
}

void warn_if_unlistable(std::filesystem::path const& plugin, DeviceManager& manager) {
    if (auto const reason = unlistable_reason(manager)) {
        spdlog::warn("Cannot list the devices of {}: {}", plugin.native(), *reason);
    }
}

// The library logs a failed query under the device's lock identity, a hash
// that tells people nothing (the tool's logger keeps that line out); the
// results name the device by its description and plug-in.
void warn_failed_queries(ScanRecords const& records) {
    for (auto const& record : records) {
        if (auto const* failed = std::get_if<DeviceQueryFailed>(&record.result)) {
            spdlog::warn("Failed to query device {} ({}): {}", failed->description,
                         std::filesystem::path(failed->plugin_path).filename().native(), failed->error);
        }
    }
}

// A directory of libraries built with CMake's default module names holds no
// plug-in by the library's rule; saying why beats a silent empty table.
void hint_if_misnamed(std::filesystem::path const& directory) {
    if (auto const library = misnamed_library(directory)) {
        spdlog::warn("No plug-in in {}, though it holds {}: a plug-in's file name contains \"_manager\" (CMake "
                     "names a module lib<target>.so by default)",
                     directory.native(), library->filename().native());
    }
}

std::vector<std::filesystem::path> chosen_plugins(ScanOptions const& options) {
    std::vector<std::filesystem::path> plugins;
    if (options.directory || options.plugins.empty()) {
        auto const directory = options.directory.value_or(default_plugin_directory());
        plugins = plugin_files(directory);
        if (plugins.empty()) {
            hint_if_misnamed(directory);
        }
    }
    for (auto const& plugin : options.plugins) {
        plugins.push_back(resolve_plugin(plugin));
    }
    return plugins;
}

ScanRecords scan_isolated(std::vector<std::filesystem::path> const& plugins, ScanOptions const& options) {
    ProgressDisplay const progress(plugins.size());
    return scan_plugins_isolated(plugins, [](std::filesystem::path const& plugin) { return scan_plugin(plugin); },
                                 {.jobs = options.jobs, .timeout = std::chrono::duration<double>(options.timeout)},
                                 [&progress](std::size_t done) { progress.update(done); });
}

// Kept for "@N" selectors. The scan's output matters more than its rows'
// numbers: a table that cannot be saved costs only a warning.
void save_table(ScanRecords const& records) {
    try {
        save_last_scan(last_scan_directory(), table_entries(records));
    } catch (std::exception const& e) {
        spdlog::warn("Cannot keep the table for @N selectors: {}", one_line(e.what()));
    }
}

bool has_records_of(ScanRecords const& records, std::filesystem::path const& plugin) {
    return std::ranges::any_of(records, [&plugin](ScanRecord const& record) {
        return std::visit([&plugin](auto const& result) { return result.plugin_path == plugin.native(); },
                          record.result);
    });
}

// A plug-in named on the command line that is missing or does not load
// fails the scan, once the others' results are out. Only one without
// results can be such; an isolated scan loads no plug-in here, so there only
// a missing file counts.
void require_named_plugins(ScanOptions const& options, ScanRecords const& records) {
    std::vector<std::string> failed;
    for (auto const& named : options.plugins) {
        auto const plugin = resolve_plugin(named);
        if (has_records_of(records, plugin)) {
            continue;
        }
        if (!std::filesystem::exists(plugin)) {
            failed.push_back(fmt::format("{} does not exist", plugin.native()));
        } else if (!options.isolate && !try_manager(plugin)) {
            failed.push_back(fmt::format("{} does not load", plugin.native()));
        }
    }
    if (!failed.empty()) {
        throw ExitStatus(exit_failed, fmt::format("plug-in {}", fmt::join(failed, "; plug-in ")));
    }
}

}  // namespace

ScanRecords scan_plugin(std::filesystem::path const& plugin, std::atomic<std::size_t>& devices_done) {
    // Held across the scan, which then uses this same manager: the owners'
    // look-up afterwards costs one get_path call instead of loading the
    // plug-in (and running its create_manager) a second time.
    auto const manager = try_manager(plugin);
    auto results = library_scan(plugin, [&devices_done](zelm::ScanProgress const&) { ++devices_done; });
    if (results.empty() && manager) {
        warn_if_unlistable(plugin, *manager);
    }
    bool const any_occupied = std::ranges::any_of(
        results, [](ScanResult const& result) { return std::holds_alternative<DeviceOccupied>(result); });
    auto const manager_path = any_occupied ? manager_path_of(manager ? manager : try_manager(plugin)) : std::nullopt;
    ScanRecords records;
    records.reserve(results.size());
    for (auto& result : results) {
        auto const* occupied = std::get_if<DeviceOccupied>(&result);
        auto owner = occupied ? occupied_owner(*occupied, manager_path) : std::nullopt;
        records.push_back({std::move(result), std::move(owner)});
    }
    return records;
}

ScanRecords scan_plugin(std::filesystem::path const& plugin) {
    std::atomic<std::size_t> devices_done = 0;
    return scan_plugin(plugin, devices_done);
}

ScanRecords scan_plugins(std::vector<std::filesystem::path> const& plugins, unsigned jobs) {
    ScanBoard board(plugins);
    {
        std::vector<std::jthread> threads;
        auto const count = std::min<std::size_t>(std::max(jobs, 1U), plugins.size());
        for (std::size_t i = 0; i < count; ++i) {
            threads.emplace_back([&board] { board.work(); });
        }
        board.wait_showing_progress();
    }
    return std::move(board).merged();
}

void run_scan(ScanOptions const& options) {
    auto const plugins = chosen_plugins(options);
    auto const records = options.isolate ? scan_isolated(plugins, options) : scan_plugins(plugins, options.jobs);
    warn_failed_queries(records);
    save_table(records);
    print_stdout(options.json ? json_text(scan_json(records)) : scan_table(records));
    require_named_plugins(options, records);
}

}  // namespace zelm::tool
