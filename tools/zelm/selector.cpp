// The tool's selectors: rows of the last scan, and the library's for the rest.
#include "selector.hpp"

#include "usage_error.hpp"

#include <zelm/scan.hpp>

#include <fmt/format.h>

#include <charconv>

namespace zelm::tool {

namespace {

std::expected<RowSelector, std::string> parse_row(std::string_view digits) {
    std::size_t row = 0;
    auto const [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), row);
    if (digits.empty() || error != std::errc{} || end != digits.data() + digits.size()) {
        return std::unexpected("\"@\" takes a row number of the last scan's table, for example @2");
    }
    if (row == 0) {
        return std::unexpected("rows of the scan's table are numbered from 1");
    }
    return RowSelector{row};
}

}  // namespace

std::expected<Selector, std::string> parse_selector(std::string_view text) {
    if (text.starts_with('@')) {
        return parse_row(text.substr(1));
    }
    try {
        return DeviceSelector::parse(text);
    } catch (SelectorSyntaxError const& e) {
        return std::unexpected(e.what());
    }
}

bool names_plugin(std::string_view word) {
    auto const selector = parse_selector(word);
    auto const* parsed = selector ? std::get_if<DeviceSelector>(&*selector) : nullptr;
    return parsed != nullptr && parsed->kind() == DeviceSelector::Kind::serial_number &&
           (word.find('/') != std::string_view::npos || is_plugin_file_name(std::filesystem::path(word)));
}

TableEntry const& table_row(std::size_t row, std::vector<TableEntry> const& table) {
    if (row == 0 || row > table.size()) {
        throw UsageError(fmt::format("the last scan's table has {} rows, not row {}; run `zelm scan` again",
                                     table.size(), row));
    }
    return table[row - 1];
}

}  // namespace zelm::tool
