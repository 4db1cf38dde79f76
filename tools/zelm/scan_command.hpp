// `zelm scan`: the library's scan over many plug-ins, on several threads or
// with each plug-in in a process of its own, with progress on a terminal.
#pragma once

#include "scan_records.hpp"

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <vector>

namespace zelm::tool {

// Scans one plug-in with the library's scan and identifies the holders of
// its occupied devices. A plug-in whose scan throws (only a non-standard
// exception from plug-in code can) is skipped with a warning.
ScanRecords scan_plugin(std::filesystem::path const& plugin);
// The same, adding one to `devices_done` after each device it has scanned.
ScanRecords scan_plugin(std::filesystem::path const& plugin, std::atomic<std::size_t>& devices_done);

// Scans each plug-in with scan_plugin, on up to `jobs` threads, and returns
// the results in the order of `plugins`, the order one serial scan gives.
ScanRecords scan_plugins(std::vector<std::filesystem::path> const& plugins, unsigned jobs);

}  // namespace zelm::tool
