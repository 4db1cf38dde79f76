// Parsing selectors and choosing the one candidate a selector names.
#include <zelm/select.hpp>

#include "host/typed_json.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <iterator>

namespace zelm {

namespace {

bool is_json_text(std::string_view text) {
    auto const start = text.find_first_not_of(" \t\n\r");  // JSON's white space
    return start != std::string_view::npos && std::string_view("{[\"").find(text[start]) != std::string_view::npos;
}

nlohmann::json parse_description(std::string_view text) {
    auto description = detail::parse_typed_json(text, detail::max_json_depth);
    if (description) {
        return std::move(*description);
    }
    switch (description.error().kind) {
    case detail::JsonRefusal::Kind::not_json:
        throw SelectorSyntaxError("not a JSON device description: " + description.error().message);
    case detail::JsonRefusal::Kind::too_deep:
        throw SelectorSyntaxError("device description " + description.error().message);
    case detail::JsonRefusal::Kind::number_out_of_range:
        break;
    }
    throw SelectorSyntaxError("device description: " + description.error().message);
}

// Pieces between commas; a piece without '=' continues the previous value.
std::vector<std::pair<std::string, std::string>> parse_filter(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> members;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto const comma = std::min(text.find(',', start), text.size());
        auto const piece = text.substr(start, comma - start);
        auto const equals = piece.find('=');
        if (equals == std::string_view::npos && !members.empty()) {
            members.back().second += fmt::format(",{}", piece);
        } else if (equals == 0 || equals == std::string_view::npos) {
            throw SelectorSyntaxError(
                fmt::format("\"{}\" in the filter \"{}\" names no member: write key=value", piece, text));
        } else {
            members.emplace_back(piece.substr(0, equals), piece.substr(equals + 1));
        }
        start = comma + 1;
    }
    return members;
}

// A filter value read as JSON, as a typed description is read.
std::expected<nlohmann::json, detail::JsonRefusal> typed_value(std::string const& value) {
    return detail::parse_typed_json(value, detail::max_json_depth);
}

bool member_matches(nlohmann::json const& member, std::string const& value) {
    if (member.is_string()) {
        return member.get_ref<std::string const&>() == value;
    }
    auto const typed = typed_value(value);
    return typed && *typed == member;
}

bool filter_matches(DeviceSelector const& filter, nlohmann::json const& description) {
    return description.is_object() && std::ranges::all_of(filter.members(), [&](auto const& wanted) {
               auto const member = description.find(wanted.first);
               return member != description.end() && member_matches(*member, wanted.second);
           });
}

template <typename Predicate>
std::vector<std::size_t> all_that(std::vector<DeviceCandidate> const& candidates, Predicate&& predicate) {
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (predicate(candidates[i])) {
            found.push_back(i);
        }
    }
    return found;
}

// Candidates whose description text the caller cannot parse match nothing.
nlohmann::json parsed(std::string const& description) {
    return nlohmann::json::parse(description, nullptr, false);
}

// A device is owned under its listed description's compact text, so the
// same text names it first; equal values only when no text is the same.
std::vector<std::size_t> described(nlohmann::json const& typed, std::vector<DeviceCandidate> const& candidates) {
    auto const compact = typed.dump();
    auto same_text = all_that(candidates, [&](DeviceCandidate const& c) { return c.description == compact; });
    if (!same_text.empty()) {
        return same_text;
    }
    return all_that(candidates, [&](DeviceCandidate const& c) { return parsed(c.description) == typed; });
}

// "1 device could not be queried: <first>" or "3 devices could not be
// queried, the first: <first>".
std::string counted(std::size_t count, std::string_view noun, std::string_view failed, std::string const& first) {
    return count == 1 ? fmt::format("1 {} {}: {}", noun, failed, first)
                      : fmt::format("{} {}s {}, the first: {}", count, noun, failed, first);
}

// Why a filter's value names no device whose member is not a string: a
// number written in it that no JSON value holds as written.
std::vector<std::string> unreadable_values(DeviceSelector const& selector) {
    std::vector<std::string> notes;
    for (auto const& [key, value] : selector.members()) {
        auto const typed = typed_value(value);
        if (!typed && typed.error().kind == detail::JsonRefusal::Kind::number_out_of_range) {
            notes.push_back(fmt::format("{}: {}", key, typed.error().message));
        }
    }
    return notes;
}

// What the error of a selector that names nothing adds to "no device listed
// by ... matches ...", each note after "; ".
std::vector<std::string> unmatched_notes(DeviceSelector const& selector,
                                         std::vector<DeviceCandidate> const& candidates,
                                         std::vector<std::string> const& unsearched) {
    auto notes = unreadable_values(selector);
    auto const unqueried = all_that(candidates, [](DeviceCandidate const& c) { return c.query_error.has_value(); });
    if (!unqueried.empty()) {
        auto const& first = candidates[unqueried.front()];
        notes.push_back(counted(unqueried.size(), "device", "could not be queried",
                                fmt::format("device {} ({}): {}", first.description,
                                            first.plugin_path.filename().native(), *first.query_error)));
    }
    if (!unsearched.empty()) {
        notes.push_back(counted(unsearched.size(), "plug-in", "could not be searched", unsearched.front()));
    }
    return notes;
}

// A device never queried on this machine shows no serial number, and
// neither does one held since before its first query.
bool has_unknown_serial(DeviceSelector const& selector, std::vector<DeviceCandidate> const& candidates) {
    return selector.kind() == DeviceSelector::Kind::serial_number &&
           std::ranges::any_of(candidates,
                               [](DeviceCandidate const& c) { return !c.serial_number && !c.query_error; });
}

[[noreturn]] void throw_unmatched(DeviceSelector const& selector, std::vector<DeviceCandidate> const& candidates,
                                  std::string const& searched, std::vector<std::string> const& unsearched) {
    auto message = fmt::format("no device listed by {} matches {}", searched, selector.what());
    if (has_unknown_serial(selector, candidates)) {
        message += " (an occupied device that was never queried on this machine shows no serial number: name it "
                   "by key=value)";
    }
    for (auto const& note : unmatched_notes(selector, candidates, unsearched)) {
        message += "; " + note;
    }
    bool const incomplete = !unsearched.empty() || std::ranges::any_of(candidates, [](DeviceCandidate const& c) {
                                return c.query_error.has_value();
                            });
    throw NoMatchingDeviceError(message, incomplete);
}

}  // namespace

SelectorSyntaxError::~SelectorSyntaxError() = default;

DeviceSelector DeviceSelector::parse(std::string_view text) {
    DeviceSelector selector;
    selector.text_ = std::string(text);
    if (is_json_text(text)) {
        selector.kind_ = Kind::description;
        selector.description_ = parse_description(text);
    } else if (text.find('=') != std::string_view::npos) {
        selector.kind_ = Kind::filter;
        selector.members_ = parse_filter(text);
    } else if (text.empty()) {
        throw SelectorSyntaxError("an empty device selector");
    } else {
        selector.kind_ = Kind::serial_number;
    }
    return selector;
}

DeviceSelector DeviceSelector::of_description(nlohmann::json description) {
    DeviceSelector selector;
    selector.kind_ = Kind::description;
    selector.text_ = description.dump();
    selector.description_ = std::move(description);
    return selector;
}

std::string DeviceSelector::what() const {
    switch (kind_) {
    case Kind::description:
        return "the description " + description_.dump();
    case Kind::serial_number:
        return "the serial number " + text_;
    case Kind::filter:
        break;
    }
    return "the filter " + text_;
}

std::vector<std::size_t> matching_devices(DeviceSelector const& selector,
                                          std::vector<DeviceCandidate> const& candidates) {
    switch (selector.kind()) {
    case DeviceSelector::Kind::description:
        return described(selector.description(), candidates);
    case DeviceSelector::Kind::serial_number:
        return all_that(candidates, [&](DeviceCandidate const& c) { return c.serial_number == selector.text(); });
    case DeviceSelector::Kind::filter:
        break;
    }
    return all_that(candidates, [&](DeviceCandidate const& c) { return filter_matches(selector, parsed(c.description)); });
}

NoMatchingDeviceError::NoMatchingDeviceError(std::string const& message, bool incomplete)
    : std::runtime_error(message), incomplete_(incomplete) {}

NoMatchingDeviceError::~NoMatchingDeviceError() = default;

AmbiguousSelectorError::AmbiguousSelectorError(std::string const& message, std::vector<DeviceCandidate> candidates)
    : std::runtime_error(message), candidates_(std::move(candidates)) {}

AmbiguousSelectorError::~AmbiguousSelectorError() = default;

DeviceCandidate const& choose_device(DeviceSelector const& selector, std::vector<DeviceCandidate> const& candidates,
                                     std::string const& searched, std::vector<std::string> const& unsearched) {
    auto const found = matching_devices(selector, candidates);
    if (found.empty()) {
        throw_unmatched(selector, candidates, searched, unsearched);
    }
    if (found.size() > 1) {
        std::vector<DeviceCandidate> matched;
        std::ranges::transform(found, std::back_inserter(matched), [&](std::size_t i) { return candidates[i]; });
        throw AmbiguousSelectorError(fmt::format("{} matches {} devices listed by {}; name one of these:",
                                                 selector.what(), found.size(), searched),
                                     std::move(matched));
    }
    return candidates[found.front()];
}

}  // namespace zelm
