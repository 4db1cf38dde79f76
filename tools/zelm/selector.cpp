// Parsing selectors and finding the devices they name.
#include "selector.hpp"

#include "arguments.hpp"
#include "escape.hpp"
#include "plugin_directory.hpp"

#include <zelm/scan.hpp>

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <iterator>

namespace zelm::tool {

namespace {

bool is_json_text(std::string_view text) {
    auto const start = text.find_first_not_of(" \t\n\r");  // JSON's white space
    return start != std::string_view::npos && std::string_view("{[\"").find(text[start]) != std::string_view::npos;
}

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

// Pieces between commas; a piece without '=' continues the previous value.
std::expected<FilterSelector, std::string> parse_filter(std::string_view text) {
    FilterSelector filter;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto const comma = std::min(text.find(',', start), text.size());
        auto const piece = text.substr(start, comma - start);
        auto const equals = piece.find('=');
        if (equals == std::string_view::npos && !filter.members.empty()) {
            filter.members.back().second += fmt::format(",{}", piece);
        } else if (equals == 0 || equals == std::string_view::npos) {
            return std::unexpected(fmt::format("\"{}\" in the filter \"{}\" names no member: write key=value",
                                               piece, text));
        } else {
            filter.members.emplace_back(piece.substr(0, equals), piece.substr(equals + 1));
        }
        start = comma + 1;
    }
    return filter;
}

bool member_matches(nlohmann::json const& member, std::string const& value) {
    if (member.is_string()) {
        return member.get_ref<std::string const&>() == value;
    }
    auto const typed = nlohmann::json::parse(value, nullptr, false);
    return !typed.is_discarded() && typed == member;
}

bool filter_matches(FilterSelector const& filter, nlohmann::json const& description) {
    return description.is_object() && std::ranges::all_of(filter.members, [&](auto const& wanted) {
               auto const member = description.find(wanted.first);
               return member != description.end() && member_matches(*member, wanted.second);
           });
}

template <typename Predicate>
std::vector<Candidate const*> all_that(std::vector<Candidate> const& candidates, Predicate&& predicate) {
    std::vector<Candidate const*> found;
    for (auto const& candidate : candidates) {
        if (predicate(candidate)) {
            found.push_back(&candidate);
        }
    }
    return found;
}

// A device is owned under its listed description's compact text, so the
// same text names it first; equal values only when no text is the same.
std::vector<Candidate const*> described(nlohmann::json const& typed, std::vector<Candidate> const& candidates) {
    auto const compact = typed.dump();
    auto same_text = all_that(candidates, [&](Candidate const& c) { return c.description.dump() == compact; });
    if (!same_text.empty()) {
        return same_text;
    }
    return all_that(candidates, [&](Candidate const& c) { return c.description == typed; });
}

// How messages name what was typed.
std::string what(Selector const& selector) {
    struct Naming {
        std::string operator()(DescriptionSelector const& s) const { return "the description " + s.description.dump(); }
        std::string operator()(SerialSelector const& s) const { return "the serial number " + s.serial; }
        std::string operator()(FilterSelector const&) const { return "the filter " + text; }
        std::string operator()(RowSelector const& s) const { return fmt::format("row {}", s.row); }
        std::string const& text;
    };
    return escaped(std::visit(Naming{selector.text}, selector.kind));
}

std::string candidate_line(Candidate const& candidate) {
    return fmt::format("{}  {}", escaped(candidate.plugin.native()), escaped(candidate.description.dump()));
}

}  // namespace

std::expected<Selector, std::string> parse_selector(std::string_view text) {
    auto const kind = [&]() -> std::expected<decltype(Selector::kind), std::string> {
        if (is_json_text(text)) {
            auto description = parse_description(text);
            if (!description) {
                return std::unexpected(description.error());
            }
            return DescriptionSelector{std::move(*description)};
        }
        if (text.starts_with('@')) {
            return parse_row(text.substr(1));
        }
        if (text.find('=') != std::string_view::npos) {
            return parse_filter(text);
        }
        if (text.empty()) {
            return std::unexpected("an empty device selector");
        }
        return SerialSelector{std::string(text)};
    }();
    if (!kind) {
        return std::unexpected(kind.error());
    }
    return Selector{std::string(text), *kind};
}

bool names_plugin(std::string_view word) {
    auto const selector = parse_selector(word);
    return selector && std::holds_alternative<SerialSelector>(selector->kind) &&
           (word.find('/') != std::string_view::npos || is_plugin_file_name(std::filesystem::path(word)));
}

std::vector<Candidate const*> matching(Selector const& selector, std::vector<Candidate> const& candidates) {
    struct Matching {
        std::vector<Candidate const*> operator()(DescriptionSelector const& s) const {
            return described(s.description, candidates);
        }
        std::vector<Candidate const*> operator()(SerialSelector const& s) const {
            return all_that(candidates, [&](Candidate const& c) { return c.serial == s.serial; });
        }
        std::vector<Candidate const*> operator()(FilterSelector const& s) const {
            return all_that(candidates, [&](Candidate const& c) { return filter_matches(s, c.description); });
        }
        std::vector<Candidate const*> operator()(RowSelector const&) const { return {}; }
        std::vector<Candidate> const& candidates;
    };
    return std::visit(Matching{candidates}, selector.kind);
}

Candidate const& chosen_candidate(Selector const& selector, std::vector<Candidate> const& candidates,
                                  std::string const& searched) {
    auto const found = matching(selector, candidates);
    if (found.empty()) {
        auto const hint = std::holds_alternative<SerialSelector>(selector.kind)
                              ? " (a scan shows no serial number for an occupied device: name it by key=value or @N)"
                              : "";
        throw UsageError(fmt::format("no device listed by {} matches {}{}", searched, what(selector), hint));
    }
    if (found.size() > 1) {
        std::vector<std::string> lines;
        std::ranges::transform(found, std::back_inserter(lines), [](auto const* c) { return candidate_line(*c); });
        throw AmbiguousSelector(
            fmt::format("{} matches {} devices listed by {}; name one of these:", what(selector), found.size(),
                        searched),
            std::move(lines));
    }
    return *found.front();
}

Candidate const& row_candidate(std::size_t row, std::vector<TableEntry> const& table,
                               std::vector<Candidate> const& candidates) {
    if (row == 0 || row > table.size()) {
        throw UsageError(fmt::format("the last scan's table has {} rows, not row {}; run `zelm scan` again",
                                     table.size(), row));
    }
    auto const& entry = table[row - 1];
    auto const listed = std::ranges::find_if(candidates, [&](Candidate const& c) {
        return c.plugin == entry.plugin && c.description.dump() == entry.description;
    });
    if (listed == candidates.end()) {
        throw UsageError(fmt::format("row {} of the last scan ({} of {}) is no longer listed; run `zelm scan` again",
                                     row, escaped(entry.description), escaped(entry.plugin.native())));
    }
    return *listed;
}

}  // namespace zelm::tool
