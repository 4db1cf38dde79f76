// The tool's exit statuses, one table for every command, and the rule that
// turns a command's outcome into one of them and its error line.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zelm::tool {

inline constexpr int exit_success = 0;
inline constexpr int exit_failed = 1;    // a failed operation
inline constexpr int exit_usage = 2;     // bad usage
inline constexpr int exit_occupied = 3;  // the device is owned by another process, here or on another host
// `hold ... -- COMMAND`, as env(1) and flock(1) report a command that could
// not be run, and one killed by a signal (128 + its number).
inline constexpr int exit_cannot_run = 126;
inline constexpr int exit_not_found = 127;
inline constexpr int exit_signal_base = 128;

// How a command ended: its exit status and, for a failure, the error line's
// text (after "zelm <command>: "); none when nothing is to be said.
struct CommandOutcome {
    int status = exit_success;
    std::optional<std::string> message;
    std::vector<std::string> details{};  // lines after the message: an ambiguous selector's candidates

    bool operator==(CommandOutcome const&) const = default;
};

// Runs `command` and maps what it throws, by type, to a status; the message
// is the outermost exception's, the status that of the first exception in its
// chain of nested causes (std::nested_exception) that decides one:
// ExitStatus its own; UsageError and the library's SelectorSyntaxError 2;
// NoMatchingDeviceError 2, or 1 when the search was incomplete;
// AmbiguousSelectorError 2, with its candidates as details ("<plug-in>
// <description>"); DeviceOccupiedError (HeldElsewhereError too) 3; anything
// else 1.
CommandOutcome run_for_outcome(std::function<void()> const& command);

}  // namespace zelm::tool
