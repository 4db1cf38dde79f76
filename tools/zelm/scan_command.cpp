// The scan command: choosing the plug-ins, scanning them in parallel, and
// printing the results.
#include "scan_command.hpp"

#include "commands.hpp"
#include "output.hpp"
#include "plugin_directory.hpp"
#include "scan_output.hpp"
#include "status_line.hpp"

#include <fmt/format.h>
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

// A scan that ends sooner than this shows no progress at all.
constexpr auto progress_delay = 500ms;
constexpr auto progress_interval = 100ms;

// What the scanning threads share: the next plug-in to take, one result slot
// per plug-in, and how many are done.
class ScanBoard {
public:
    explicit ScanBoard(std::vector<std::filesystem::path> const& plugins)
        : plugins_(plugins), results_(plugins.size()) {}

    // Scans plug-ins until none is left; runs on each scanning thread.
    void work() {
        for (auto index = next_++; index < plugins_.size(); index = next_++) {
            scan_one(index);
        }
    }

    // Waits until every plug-in is scanned, showing progress once the scan
    // has taken a while.
    void wait_showing_progress() {
        auto const start = std::chrono::steady_clock::now();
        std::unique_lock lock(mutex_);
        while (!done_changed_.wait_for(lock, progress_interval, [this] { return done_ == plugins_.size(); })) {
            if (std::chrono::steady_clock::now() - start >= progress_delay) {
                StatusLine::instance().show(fmt::format("scanning plug-ins: {} of {} done", done_, plugins_.size()));
            }
        }
        StatusLine::instance().clear();
    }

    ScanResults merged() && {
        ScanResults all;
        for (auto& results : results_) {
            std::ranges::move(results, std::back_inserter(all));
        }
        return all;
    }

private:
    // The library lets only non-standard exceptions from plug-in code out of
    // a scan. One plug-in's misbehaviour costs its own devices, as any other
    // plug-in failure does in the library, not the whole scan.
    void scan_one(std::size_t index) {
        try {
            results_[index] = scan_devices({plugins_[index]});
        } catch (...) {
            spdlog::warn("Scan of {} stopped by a non-standard exception from plug-in code", plugins_[index].native());
        }
        std::lock_guard guard(mutex_);
        ++done_;
        done_changed_.notify_all();
    }

    std::vector<std::filesystem::path> const& plugins_;
    std::vector<ScanResults> results_;  // each slot written by one thread only
    std::atomic<std::size_t> next_ = 0;
    std::mutex mutex_;  // guards done_
    std::condition_variable done_changed_;
    std::size_t done_ = 0;
};

std::vector<std::filesystem::path> chosen_plugins(ScanOptions const& options) {
    std::vector<std::filesystem::path> plugins;
    if (options.directory || options.plugins.empty()) {
        plugins = plugin_files(options.directory.value_or(default_plugin_directory()));
    }
    for (auto const& plugin : options.plugins) {
        plugins.push_back(resolve_plugin(plugin));
    }
    return plugins;
}

}  // namespace

ScanResults scan_plugins(std::vector<std::filesystem::path> const& plugins, unsigned jobs) {
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
    auto const results = scan_plugins(chosen_plugins(options), options.jobs);
    print_stdout(options.json ? scan_json(results).dump(2) + "\n" : scan_table(results));
}

}  // namespace zelm::tool
