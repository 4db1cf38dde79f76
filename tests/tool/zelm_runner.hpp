// Runs the built `zelm` executable in child processes, as a user's shell
// would, and collects what it printed and how it ended.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zelm::tool_test {

inline std::filesystem::path const zelm_path{ZELM_EXECUTABLE};

// Changes to the test's own environment for one child: a value sets the
// variable, no value unsets it.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

struct Outcome {
    int status = -1;  // exit code, or 128 + the signal that ended the process
    std::string out;
    std::string err;
};

// How the child's standard error is connected.
enum class Stderr { pipe, terminal };

// A running zelm with its standard output and error read by the test.
class RunningZelm {
public:
    // `executable` is the built zelm unless a test runs a copy of it.
    RunningZelm(std::vector<std::string> const& arguments, EnvChanges const& env = {},
                Stderr stderr_kind = Stderr::pipe, std::filesystem::path const& executable = zelm_path);
    // Kills (SIGKILL) and reaps a process that was not finished.
    ~RunningZelm();
    RunningZelm(RunningZelm const&) = delete;
    RunningZelm& operator=(RunningZelm const&) = delete;

    pid_t pid() const { return pid_; }
    // The next line of standard output, without its newline; none at the end
    // of output. Throws when nothing comes for a long while (a hung child).
    std::optional<std::string> read_line();
    void signal(int signal_number);
    // Reads the rest of both outputs, then reaps the process.
    Outcome finish();

private:
    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string out_;  // read but not yet returned by read_line
    std::string err_;
};

// Runs zelm to its end.
Outcome run_zelm(std::vector<std::string> const& arguments, EnvChanges const& env = {});

// The lines of `text`, without their newlines.
std::vector<std::string> lines_of(std::string const& text);

}  // namespace zelm::tool_test
