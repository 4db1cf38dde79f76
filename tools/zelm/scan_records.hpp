// What `zelm scan` learns from the library's scan report, and its transport
// between processes, which the isolated scan uses to bring a child's report
// back.
#pragma once

#include <zelm/scan.hpp>

#include <string>
#include <vector>

namespace zelm::tool {

struct ScanOutcome {
    ScanReport report;
    // The plug-ins whose scan a non-standard exception from plug-in code
    // stopped: the library lets such an exception out of the whole scan
    // rather than report it, so the tool scans those plug-ins alone.
    std::vector<std::string> stopped;
};

// Lossless JSON text of the outcome: the library's texts travel as strings,
// not re-parsed, so outcome_from_wire gives back exactly what went in (bytes
// that are not UTF-8 aside, which become replacement characters).
std::string outcome_to_wire(ScanOutcome const& outcome);

// Throws nlohmann::json::exception when `text` is not what outcome_to_wire
// writes (for example cut short).
ScanOutcome outcome_from_wire(std::string const& text);

// Appends `part`, the outcome of the plug-ins after those of `all`.
void append(ScanOutcome& all, ScanOutcome part);

}  // namespace zelm::tool
