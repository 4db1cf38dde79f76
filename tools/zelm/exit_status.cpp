// Exceptions to exit statuses.
#include "exit_status.hpp"

#include "commands.hpp"
#include "usage_error.hpp"

#include <zelm/owner.hpp>
#include <zelm/select.hpp>

#include <fmt/format.h>

#include <exception>

namespace zelm::tool {

namespace {

std::vector<std::string> candidate_lines(std::vector<DeviceCandidate> const& candidates) {
    std::vector<std::string> lines;
    for (auto const& candidate : candidates) {
        lines.push_back(fmt::format("{}  {}", candidate.plugin_path.native(), candidate.description));
    }
    return lines;
}

// The status that `e`, or the first of its nested causes that has one,
// decides; none when none does.
std::optional<CommandOutcome> decided(std::exception const& e, std::string const& message) {
    if (auto const* ended = dynamic_cast<ExitStatus const*>(&e)) {
        return CommandOutcome{ended->status(), ended->message()};
    }
    if (auto const* ambiguous = dynamic_cast<AmbiguousSelectorError const*>(&e)) {
        return CommandOutcome{exit_usage, message, candidate_lines(ambiguous->candidates())};
    }
    if (auto const* unmatched = dynamic_cast<NoMatchingDeviceError const*>(&e)) {
        // A search that left devices or plug-ins out failed; a complete one
        // shows that the name is wrong.
        return CommandOutcome{unmatched->incomplete() ? exit_failed : exit_usage, message};
    }
    if (dynamic_cast<UsageError const*>(&e) != nullptr || dynamic_cast<SelectorSyntaxError const*>(&e) != nullptr) {
        return CommandOutcome{exit_usage, message};
    }
    if (dynamic_cast<DeviceOccupiedError const*>(&e) != nullptr) {
        return CommandOutcome{exit_occupied, message};
    }
    auto const* nested = dynamic_cast<std::nested_exception const*>(&e);
    if (nested == nullptr || !nested->nested_ptr()) {
        return std::nullopt;
    }
    try {
        std::rethrow_exception(nested->nested_ptr());
    } catch (std::exception const& cause) {
        return decided(cause, message);
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace

CommandOutcome run_for_outcome(std::function<void()> const& command) {
    try {
        command();
        return {};
    } catch (std::exception const& e) {
        return decided(e, e.what()).value_or(CommandOutcome{exit_failed, e.what()});
    } catch (...) {
        return {exit_failed, "unknown exception from plug-in code"};
    }
}

}  // namespace zelm::tool
