// Scans that survive bad plug-ins: each plug-in is scanned in a child
// process of its own, so a plug-in that crashes, hangs or leaves processes
// behind costs its own devices only.
#pragma once

#include "scan_records.hpp"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <vector>

namespace zelm::tool {

struct IsolationLimits {
    unsigned jobs = 1;                      // children running at once
    std::chrono::duration<double> timeout;  // per child, from its start
};

using PluginScan = std::function<ScanRecords(std::filesystem::path const&)>;
using ProgressReport = std::function<void(std::size_t done)>;

// Runs `scan` for each plug-in in a forked child that leads a process group
// of its own, up to `limits.jobs` children at a time, and returns their
// records in the order of `plugins`. A child that dies, exits without its
// records or exceeds the time-out costs its plug-in's records and one
// warning naming the plug-in and what happened. Whatever is left of a
// child's process group once the child is done is killed, so nothing that
// plug-in code started outlives the scan (unless it left the group).
// SIGINT and SIGTERM stop the scan: the children are killed and
// std::runtime_error "interrupted by SIG..." is thrown. `progress` is called
// at least every 100 ms with the number of plug-ins done.
//
// Forks: call it while the process runs no other thread. Every child ends
// with _exit, so the parent's atexit handlers and stdio buffers stay the
// parent's.
ScanRecords scan_plugins_isolated(std::vector<std::filesystem::path> const& plugins, PluginScan const& scan,
                                  IsolationLimits const& limits, ProgressReport const& progress);

}  // namespace zelm::tool
