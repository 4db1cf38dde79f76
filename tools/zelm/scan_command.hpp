// `zelm scan`: the library's scan over many plug-ins, optionally on several
// threads, with progress on a terminal.
#pragma once

#include <zelm/scan.hpp>

#include <filesystem>
#include <vector>

namespace zelm::tool {

// Scans each plug-in with its own call of the library's scan, on up to
// `jobs` threads, and returns the results in the order of `plugins`, the
// order one serial scan gives. A plug-in whose scan throws (only a
// non-standard exception from plug-in code can) is skipped with a warning.
ScanResults scan_plugins(std::vector<std::filesystem::path> const& plugins, unsigned jobs);

}  // namespace zelm::tool
