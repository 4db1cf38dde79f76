// The command that `zelm hold ... -- COMMAND` runs while it owns a device, as
// flock(1) runs one while it holds a lock.
#pragma once

#include "signals.hpp"

#include <string>
#include <vector>

namespace zelm::tool {

// Runs `command` (its first word looked up in PATH, as a shell does) with
// the tool's descriptors, environment and working directory, but with an
// empty signal mask and every signal's default action, as a shell would
// start it. Waits for it to end, passing on each SIGINT and SIGTERM that
// `signals` takes (except one the terminal sent to the command's process
// group too, which the command has already had). Returns the status the tool
// exits with: the command's exit status, or 128 + N when signal N killed it.
// Throws ExitStatus 127 with "cannot run <word>: <reason>" when the command is
// not found, 126 when it is found but cannot be run; std::system_error when
// waiting fails.
int run_child_command(std::vector<std::string> const& command, TerminationSignals const& signals);

// The tool's exit status for a wait status of waitpid(): the exit status, or
// 128 + N for signal N.
int exit_status_of(int wait_status);

}  // namespace zelm::tool
