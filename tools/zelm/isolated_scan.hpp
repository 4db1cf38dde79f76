// Work that survives bad plug-ins: each plug-in is handled in a child
// process of its own, so a plug-in that crashes, hangs or leaves processes
// behind costs only its own results. Isolated scans build on it.
#pragma once

#include "scan_records.hpp"

#include <chrono>
#include <cstddef>
#include <expected>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace zelm::tool {

struct IsolationLimits {
    unsigned jobs = 1;                      // children running at once
    std::chrono::duration<double> timeout;  // per child, from its start
};

// Runs in the child: the results of one plug-in, as text for the pipe.
using ChildWork = std::function<std::string(std::filesystem::path const&)>;

// How a child ended without sending its results.
struct ChildFailure {
    bool timed_out = false;
    std::string what;  // "killed by signal 6 (Aborted)", "timed out after 2 s", ...
};
using ChildOutcome = std::expected<std::string, ChildFailure>;
using OutcomeReport = std::function<void(std::size_t index, ChildOutcome outcome)>;

using PluginScan = std::function<ScanOutcome(std::filesystem::path const&)>;
using ProgressReport = std::function<void(std::size_t done)>;

// Runs `work` for each plug-in in a forked child that leads a process group
// of its own, up to `limits.jobs` children at a time, and reports each
// child's outcome as it settles with the plug-in's index in `plugins`: what
// the child sent, or, for a child that dies, exits without sending or exceeds
// the time-out, what happened. Whatever is left of a child's process group
// once the child is done is killed, so nothing that plug-in code started
// outlives the run (unless it left the group). SIGINT and SIGTERM stop the
// run: the children are killed and std::runtime_error "interrupted by
// SIG..." is thrown. `progress` is called at least every 100 ms with the
// number of plug-ins done.
//
// Forks: call it while the process runs no other thread. Every child ends
// with _exit, so the parent's atexit handlers and stdio buffers stay the
// parent's.
void run_isolated(std::vector<std::filesystem::path> const& plugins, ChildWork const& work,
                  IsolationLimits const& limits, OutcomeReport const& report, ProgressReport const& progress);

// Runs `scan` for each plug-in through run_isolated and returns the outcomes
// one after the other in the order of `plugins`. A child that fails costs its
// plug-in's devices and one warning naming the plug-in and what happened.
// Throws as run_isolated does.
ScanOutcome scan_plugins_isolated(std::vector<std::filesystem::path> const& plugins, PluginScan const& scan,
                                  IsolationLimits const& limits, ProgressReport const& progress);

}  // namespace zelm::tool
