// Parsing selectors and finding the devices they name.
#include "selector.hpp"

#include "arguments.hpp"
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

// A filter value read as JSON, as a typed description is read.
std::expected<nlohmann::json, JsonRefusal> typed_value(std::string const& value) {
    return parse_json_within(value, max_description_depth);
}

bool member_matches(nlohmann::json const& member, std::string const& value) {
    if (member.is_string()) {
        return member.get_ref<std::string const&>() == value;
    }
    auto const typed = typed_value(value);
    return typed && *typed == member;
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
    return std::visit(Naming{selector.text}, selector.kind);
}

std::string candidate_line(Candidate const& candidate) {
    return fmt::format("{}  {}", candidate.plugin.native(), candidate.description.dump());
}

// "1 device could not be queried: <first>" or "3 devices could not be
// queried, the first: <first>".
template <typename Item>
std::string counted(std::vector<Item> const& items, std::string_view noun, std::string_view failed,
                    std::string const& first) {
    return items.size() == 1 ? fmt::format("1 {} {}: {}", noun, failed, first)
                             : fmt::format("{} {}s {}, the first: {}", items.size(), noun, failed, first);
}

// Why a filter's value names no device whose member is not a string: a
// number written in it that no JSON value holds as written.
std::vector<std::string> unreadable_values(FilterSelector const& filter) {
    std::vector<std::string> notes;
    for (auto const& [key, value] : filter.members) {
        auto const typed = typed_value(value);
        if (!typed && typed.error().kind == JsonRefusal::Kind::number_out_of_range) {
            notes.push_back(fmt::format("{}: {}", key, typed.error().message));
        }
    }
    return notes;
}

// What the error of a selector that names nothing adds to "no device listed
// by ... matches ...", each note after "; ".
std::vector<std::string> unmatched_notes(Selector const& selector, std::vector<Candidate> const& candidates,
                                         std::vector<std::string> const& unsearched) {
    std::vector<std::string> notes;
    if (auto const* filter = std::get_if<FilterSelector>(&selector.kind)) {
        std::ranges::move(unreadable_values(*filter), std::back_inserter(notes));
    }
    std::vector<Candidate const*> unqueried;
    for (auto const& candidate : candidates) {
        if (candidate.query_error) {
            unqueried.push_back(&candidate);
        }
    }
    if (!unqueried.empty()) {
        auto const& first = *unqueried.front();
        notes.push_back(counted(unqueried, "device", "could not be queried",
                                fmt::format("device {} ({}): {}", first.description.dump(),
                                            first.plugin.filename().native(), *first.query_error)));
    }
    if (!unsearched.empty()) {
        notes.push_back(counted(unsearched, "plug-in", "could not be searched", unsearched.front()));
    }
    return notes;
}

// A serial search shows no serial number for an occupied device: one that
// answered nothing but did not fail either.
bool has_occupied(Selector const& selector, std::vector<Candidate> const& candidates) {
    return std::holds_alternative<SerialSelector>(selector.kind) &&
           std::ranges::any_of(candidates, [](Candidate const& c) { return !c.serial && !c.query_error; });
}

[[noreturn]] void throw_unmatched(Selector const& selector, std::vector<Candidate> const& candidates,
                                  std::string const& searched, std::vector<std::string> const& unsearched) {
    auto message = fmt::format("no device listed by {} matches {}", searched, what(selector));
    if (has_occupied(selector, candidates)) {
        message += " (a scan shows no serial number for an occupied device: name it by key=value or @N)";
    }
    for (auto const& note : unmatched_notes(selector, candidates, unsearched)) {
        message += "; " + note;
    }
    bool const incomplete = !unsearched.empty() || std::ranges::any_of(candidates, [](Candidate const& c) {
        return c.query_error.has_value();
    });
    if (incomplete) {
        throw IncompleteSearch(message);
    }
    throw UsageError(message);
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
                                  std::string const& searched, std::vector<std::string> const& unsearched) {
    auto const found = matching(selector, candidates);
    if (found.empty()) {
        throw_unmatched(selector, candidates, searched, unsearched);
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
                                     row, entry.description, entry.plugin.native()));
    }
    return *listed;
}

}  // namespace zelm::tool
