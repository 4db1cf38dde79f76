// Column layout for the tool's table output.
#include "table.hpp"

#include "escape.hpp"

#include <algorithm>
#include <string_view>

namespace zelm::tool {

namespace {

// Code points, not bytes: continuation bytes of UTF-8 do not take a column.
std::size_t display_width(std::string_view text) {
    return static_cast<std::size_t>(
        std::ranges::count_if(text, [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::vector<std::size_t> column_widths(TableRow const& header, std::vector<TableRow> const& rows) {
    std::vector<std::size_t> widths(header.size(), 0);
    auto widen = [&widths](TableRow const& row) {
        for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) {
            widths[i] = std::max(widths[i], display_width(row[i]));
        }
    };
    widen(header);
    std::ranges::for_each(rows, widen);
    return widths;
}

void append_row(std::string& text, TableRow const& row, std::vector<std::size_t> const& widths) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
        line += row[i];
        if (i + 1 < row.size()) {
            line.append(widths[i] - display_width(row[i]) + 2, ' ');
        }
    }
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    text += line;
    text += '\n';
}

}  // namespace

std::string render_table(TableRow const& header, std::vector<TableRow> const& rows) {
    auto escaped_row = [](TableRow const& row) {
        TableRow cells;
        cells.reserve(row.size());
        for (auto const& cell : row) {
            cells.push_back(escaped(cell));
        }
        return cells;
    };
    std::vector<TableRow> shown;
    shown.reserve(rows.size());
    for (auto const& row : rows) {
        shown.push_back(escaped_row(row));
    }
    auto const shown_header = escaped_row(header);
    auto const widths = column_widths(shown_header, shown);
    std::string text;
    append_row(text, shown_header, widths);
    for (auto const& row : shown) {
        append_row(text, row, widths);
    }
    return text;
}

}  // namespace zelm::tool
