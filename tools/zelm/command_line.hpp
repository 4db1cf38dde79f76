// The tool's command line: parses argv, runs the chosen command and turns
// its outcome into an exit status.
#pragma once

namespace zelm::tool {

// Exit statuses: 0 success (also for --help and --version), 1 a failed
// operation, 2 bad usage. Errors are one line on standard error.
int run_command_line(int argc, char const* const* argv);

}  // namespace zelm::tool
