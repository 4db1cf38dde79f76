// How people name one device on the command line: a selector as the library
// reads it (a JSON description, a serial number, a key=value filter; see
// <zelm/select.hpp>), or the tool's own "@2", the device on row 2 of the
// table that `zelm scan` printed last.
#pragma once

#include <zelm/select.hpp>

#include <cstddef>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zelm::tool {

// A row of the last scan's table, counted from 1.
struct RowSelector {
    std::size_t row = 0;
};

using Selector = std::variant<RowSelector, DeviceSelector>;

// "@N" (decimal, from 1) is a row; any other text a selector as
// DeviceSelector::parse reads it. Returns a message for malformed text: "@"
// without a row number or "@0", and what DeviceSelector::parse refuses.
std::expected<Selector, std::string> parse_selector(std::string_view text);

// True when a device command's first word names a plug-in file rather than a
// device: a path with a '/', or a name that the directory scan takes for a
// plug-in (see zelm::is_plugin_file_name), and no JSON, "@N" or key=value
// selector. A serial number holding a '/' follows a plug-in to be one.
bool names_plugin(std::string_view word);

// A row of a scan's table: the plug-in file (absolute) and the description's
// compact text as listed.
struct TableEntry {
    std::filesystem::path plugin;
    std::string description;
};

// Row `row` of `table`. Throws UsageError when the table has no such row.
TableEntry const& table_row(std::size_t row, std::vector<TableEntry> const& table);

}  // namespace zelm::tool
