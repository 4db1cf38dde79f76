// `zelm scan`: the library's scan report over many plug-ins, on several
// threads or with each plug-in in a process of its own, with progress on a
// terminal.
#pragma once

#include "scan_records.hpp"

#include <zelm/scan.hpp>

#include <filesystem>
#include <vector>

namespace zelm::tool {

// The library's scan report of `plugins` (scan_devices_report). A
// non-standard exception from plug-in code, which the library lets out of the
// whole scan, costs only the plug-in that threw it: the plug-ins are then
// scanned one at a time, and each one that throws is reported as stopped.
// Throws what scan_devices_report throws otherwise.
ScanOutcome scan_outcome(std::vector<std::filesystem::path> const& plugins, zelm::ScanOptions const& options = {});

}  // namespace zelm::tool
