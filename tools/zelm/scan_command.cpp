// The scan command: choosing the plug-ins, scanning them (on threads, or
// isolated in child processes), saying what went wrong, and printing the
// devices.
#include "scan_command.hpp"

#include "arguments.hpp"
#include "commands.hpp"
#include "exit_status.hpp"
#include "isolated_scan.hpp"
#include "last_scan.hpp"
#include "output.hpp"
#include "plugin_directory.hpp"
#include "scan_output.hpp"
#include "status_line.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>
#include <string>

namespace zelm::tool {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A scan that ends sooner than this shows no progress at all.
constexpr auto progress_delay = 500ms;

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

// The library's progress as the display counts it. Threads take the plug-ins
// in order, each scanning one at a time: once a device of plug-in i is done,
// every plug-in before the last `jobs` begun is done too.
ScanProgressCallback progress_of(ProgressDisplay const& display, unsigned jobs) {
    return [&display, jobs = std::max(jobs, 1U), begun = std::size_t{0}](ScanProgress const& progress) mutable {
        begun = std::max(begun, progress.plugin_index + 1);
        display.update(begun - std::min<std::size_t>(begun, jobs), progress.devices_done);
    };
}

std::string failure_line(PluginFailure const& failure) {
    switch (failure.step) {
    case PluginFailure::Step::load:
        return fmt::format("Cannot load plug-in {}: {}", failure.plugin_path, failure.reason);
    case PluginFailure::Step::list:
        return fmt::format("Cannot list the devices of {}: {}", failure.plugin_path, failure.reason);
    case PluginFailure::Step::get_path:
        break;
    }
    return fmt::format("Cannot get the manager path of {}: {}", failure.plugin_path, failure.reason);
}

// One warning for each plug-in that gave no devices, or no more, and for
// each device whose query failed, named by its description and plug-in.
void warn_about(ScanOutcome const& outcome) {
    for (auto const& failure : outcome.report.failures) {
        spdlog::warn("{}", failure_line(failure));
    }
    for (auto const& plugin : outcome.stopped) {
        spdlog::warn("Scan of {} stopped by a non-standard exception from plug-in code", plugin);
    }
    for (auto const& device : outcome.report.devices) {
        if (auto const* failed = std::get_if<DeviceQueryFailed>(&device.result)) {
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

std::vector<std::filesystem::path> chosen_plugins(ScanCommandOptions const& options) {
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

ScanOutcome scan_threaded(std::vector<std::filesystem::path> const& plugins, ScanCommandOptions const& options) {
    ProgressDisplay const display(plugins.size());
    return scan_outcome(plugins, {.jobs = options.jobs, .progress = progress_of(display, options.jobs)});
}

ScanOutcome scan_isolated(std::vector<std::filesystem::path> const& plugins, ScanCommandOptions const& options) {
    ProgressDisplay const display(plugins.size());
    return scan_plugins_isolated(plugins, [](std::filesystem::path const& plugin) { return scan_outcome({plugin}); },
                                 {.jobs = options.jobs, .timeout = std::chrono::duration<double>(options.timeout)},
                                 [&display](std::size_t done) { display.update(done); });
}

// Kept for "@N" selectors. The scan's output matters more than its rows'
// numbers: a table that cannot be saved costs only a warning.
void save_table(std::vector<ScannedDevice> const& devices) {
    try {
        save_last_scan(last_scan_directory(), table_entries(devices));
    } catch (std::exception const& e) {
        spdlog::warn("Cannot keep the table for @N selectors: {}", one_line(e.what()));
    }
}

bool has_devices_of(ScanReport const& report, std::filesystem::path const& plugin) {
    return std::ranges::any_of(report.devices, [&plugin](ScannedDevice const& device) {
        return std::visit([&plugin](auto const& result) { return result.plugin_path == plugin.native(); },
                          device.result);
    });
}

bool did_not_load(ScanReport const& report, std::filesystem::path const& plugin) {
    return std::ranges::any_of(report.failures, [&plugin](PluginFailure const& failure) {
        return failure.step == PluginFailure::Step::load && failure.plugin_path == plugin.native();
    });
}

// Why a plug-in named on the command line gave no devices, when that fails
// the scan: it is missing, it does not load, or it stopped its scan.
std::optional<std::string> named_plugin_failure(std::filesystem::path const& plugin, ScanOutcome const& outcome) {
    if (has_devices_of(outcome.report, plugin)) {
        return std::nullopt;
    }
    if (!std::filesystem::exists(plugin)) {
        return fmt::format("{} does not exist", plugin.native());
    }
    if (did_not_load(outcome.report, plugin)) {
        return fmt::format("{} does not load", plugin.native());
    }
    if (std::ranges::find(outcome.stopped, plugin.native()) != outcome.stopped.end()) {
        return fmt::format("{} stopped its scan with a non-standard exception", plugin.native());
    }
    return std::nullopt;
}

// A plug-in named on the command line that is missing or does not load
// fails the scan, once the others' results are out.
void require_named_plugins(ScanCommandOptions const& options, ScanOutcome const& outcome) {
    std::vector<std::string> failed;
    for (auto const& named : options.plugins) {
        if (auto failure = named_plugin_failure(resolve_plugin(named), outcome)) {
            failed.push_back(std::move(*failure));
        }
    }
    if (!failed.empty()) {
        throw ExitStatus(exit_failed, fmt::format("plug-in {}", fmt::join(failed, "; plug-in ")));
    }
}

}  // namespace

ScanOutcome scan_outcome(std::vector<std::filesystem::path> const& plugins, zelm::ScanOptions const& options) {
    try {
        return {scan_devices_report(plugins, options), {}};
    } catch (std::exception const&) {
        throw;
    } catch (...) {
        if (plugins.size() == 1) {
            return {{}, {plugins.front().native()}};
        }
    }
    // Again, one plug-in at a time, to find which threw; the others' answers
    // come from the query cache.
    ScanOutcome all;
    std::size_t devices = 0;
    for (std::size_t index = 0; index < plugins.size(); ++index) {
        zelm::ScanOptions alone;
        if (options.progress) {
            alone.progress = [&](ScanProgress const&) { options.progress({index, plugins.size(), ++devices}); };
        }
        append(all, scan_outcome({plugins[index]}, alone));
    }
    return all;
}

void run_scan(ScanCommandOptions const& options) {
    auto const plugins = chosen_plugins(options);
    auto const outcome = options.isolate ? scan_isolated(plugins, options) : scan_threaded(plugins, options);
    warn_about(outcome);
    save_table(outcome.report.devices);
    print_stdout(options.json ? json_text(scan_json(outcome.report.devices)) : scan_table(outcome.report.devices));
    require_named_plugins(options, outcome);
}

}  // namespace zelm::tool
