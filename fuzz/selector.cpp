// Fuzz target: a device selector as people type it, at a terminal or in a
// host program. Any text is either refused with SelectorSyntaxError or
// parsed; a parsed selector keeps the text as typed, reads the same again,
// and matches candidates without throwing. A description selector names the
// candidate whose description is its compact text; a filter names only
// object descriptions; a serial number only the candidate showing it.
//
// Input: the selector's text.
#include "harness.hpp"

#include <zelm/select.hpp>

#include <string>
#include <vector>

namespace zelm::fuzz {
namespace {

using Kind = DeviceSelector::Kind;

std::vector<DeviceCandidate> candidates_for(DeviceSelector const& selector) {
    std::vector<DeviceCandidate> candidates{
        {"/fuzz/a_manager.so", R"({"model":"m","serial":"S1","n":7,"on":true})", "S1"},
        {"/fuzz/a_manager.so", "[1,2]", std::nullopt, "query failed"},
        {"/fuzz/b_manager.so", "7", "7"},
    };
    if (selector.kind() == Kind::description) {
        candidates.push_back({"/fuzz/b_manager.so", selector.description().dump(), selector.text()});
    }
    return candidates;
}

void check_matches(DeviceSelector const& selector) {
    auto const candidates = candidates_for(selector);
    auto const found = matching_devices(selector, candidates);
    for (auto const index : found) {
        require(index < candidates.size(), "a match is one of the candidates");
        auto const& candidate = candidates[index];
        switch (selector.kind()) {
        case Kind::serial_number:
            require(candidate.serial_number == selector.text(), "a serial number names only a device showing it");
            break;
        case Kind::filter:
            require(candidate.description.starts_with('{'), "a filter names only object descriptions");
            break;
        case Kind::description:
            break;
        }
    }
    if (selector.kind() == Kind::description) {
        require(!found.empty(), "a description names the device listed under its compact text");
        for (auto const index : found) {
            require(candidates[index].description == selector.description().dump(),
                    "the same text comes before an equal value");
        }
    }
    try {
        choose_device(selector, candidates, "the fuzzed plug-ins");
    } catch (NoMatchingDeviceError const&) {
        require(found.empty(), "no match is reported only when nothing matched");
    } catch (AmbiguousSelectorError const& e) {
        require(e.candidates().size() == found.size() && found.size() > 1, "an ambiguity lists every match");
    }
}

}  // namespace

void run_one(std::string_view input) {
    std::string const text(input);
    try {
        auto const selector = DeviceSelector::parse(text);
        require(selector.text() == text, "the selector keeps the text as typed");
        require(DeviceSelector::parse(selector.text()).kind() == selector.kind(), "the text reads the same again");
        require(selector.kind() != Kind::description || nesting_depth(selector.description()) <= detail::max_json_depth,
                "a description nests no deeper than the library's bound");
        require(selector.kind() == Kind::filter || selector.members().empty(), "only a filter has members");
        check_matches(selector);
    } catch (SelectorSyntaxError const& e) {
        require(std::string_view(e.what()).find('\n') == std::string_view::npos || text.find('\n') != std::string::npos,
                "a refusal is one line unless the text itself breaks it");
    }
}

}  // namespace zelm::fuzz
