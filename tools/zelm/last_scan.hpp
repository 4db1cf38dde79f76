// The last scan's table, kept per user so that "@2" names the device on the
// second row of what `zelm scan` printed last.
#pragma once

#include "selector.hpp"

#include <zelm/scan.hpp>

#include <filesystem>
#include <string_view>
#include <vector>

namespace zelm::tool {

// $XDG_RUNTIME_DIR/zelm when XDG_RUNTIME_DIR is set and absolute, otherwise
// "zelm-<uid>" in the temporary directory.
std::filesystem::path last_scan_directory();

// Creates `directory` (mode 0700) when missing and checks that only the
// caller can change it: a real directory, not a symbolic link, owned by the
// caller, not writable by group or others. Throws std::runtime_error naming
// the directory and what is wrong.
void ensure_private_directory(std::filesystem::path const& directory);

// The table's rows: each device's plug-in (made absolute) and description.
std::vector<TableEntry> table_entries(std::vector<ScannedDevice> const& devices);

// Saves `entries` as the last table in `directory` (checked as above),
// through a new file renamed over the old one, so that a reader never sees
// half a table. Throws std::runtime_error naming the file and why.
void save_last_scan(std::filesystem::path const& directory, std::vector<TableEntry> const& entries);

// The last table saved in `directory`. Throws UsageError when none was
// saved, and std::runtime_error when the file is not one this tool wrote:
// not a regular file of the caller's (a symbolic link is never followed),
// larger than any table, or not a table.
std::vector<TableEntry> load_last_scan(std::filesystem::path const& directory);

}  // namespace zelm::tool
