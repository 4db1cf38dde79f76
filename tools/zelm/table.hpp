// Plain-text tables for people: left-aligned columns two spaces apart.
#pragma once

#include <string>
#include <vector>

namespace zelm::tool {

using TableRow = std::vector<std::string>;

// The header and the rows, one line each. Every cell is shown through
// escaped(), since cells hold text from plug-ins, devices and file names:
// control characters and bytes that are not UTF-8 become visible escapes, so
// a row stays one line of what its texts really hold. Columns are as wide as
// their widest cell in characters (UTF-8 aware); the last column is not
// padded, so long descriptions do not leave trailing blanks.
std::string render_table(TableRow const& header, std::vector<TableRow> const& rows);

}  // namespace zelm::tool
