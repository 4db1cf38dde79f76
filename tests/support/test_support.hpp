// Shared helpers for the test suite: private temporary directories (and a
// private TMPDIR, so lock files never meet another test's or the machine's),
// installing copies of the configurable test plug-in, reading the events log
// that the test plug-ins write, and forked helper processes that the parent
// can step through a pipe.
#pragma once

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zelm::test {

// The lock directory's name under the temporary directory, as the library
// must name it (tests check the name itself, so they do not take the
// library's constant).
inline constexpr char const* lock_directory_name = "rezored_izede";

// `<TMPDIR>/rezored_izede` for the current TMPDIR.
std::filesystem::path lock_directory();

// Paths of the test plug-ins, as built.
inline std::filesystem::path const test_plugin_path{ZELM_TEST_PLUGIN};
inline std::filesystem::path const no_entry_plugin_path{ZELM_TEST_NO_ENTRY_PLUGIN};
inline std::filesystem::path const throwing_plugin_path{ZELM_TEST_THROWING_PLUGIN};
inline std::filesystem::path const int_throwing_plugin_path{ZELM_TEST_INT_THROWING_PLUGIN};
inline std::filesystem::path const null_plugin_path{ZELM_TEST_NULL_PLUGIN};
// The environment variable naming the events file of the broken plug-ins.
inline constexpr char const* broken_plugin_events_variable = "ZELM_TEST_EVENTS";

// A fresh directory under the real /tmp (never under $TMPDIR, which tests
// point elsewhere), removed with its content on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(TempDir const&) = delete;
    TempDir& operator=(TempDir const&) = delete;

    std::filesystem::path const& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Sets (or, with no value, unsets) an environment variable for its lifetime.
class ScopedEnv {
public:
    ScopedEnv(char const* name, std::optional<std::string> const& value);
    ~ScopedEnv();
    ScopedEnv(ScopedEnv const&) = delete;
    ScopedEnv& operator=(ScopedEnv const&) = delete;

private:
    char const* name_;
    std::optional<std::string> previous_;
};

// Points TMPDIR and XDG_RUNTIME_DIR at a TempDir of its own for its lifetime,
// then restores their previous values (or unsets them).
class ScopedTmpdir {
public:
    std::filesystem::path const& path() const { return dir_.path(); }
    // Where the library keeps its lock files under this TMPDIR.
    std::filesystem::path lock_directory() const { return path() / lock_directory_name; }

private:
    TempDir dir_;
    ScopedEnv tmpdir_{"TMPDIR", dir_.path().native()};
    // The simulated devices keep their state under it: private too.
    ScopedEnv runtime_dir_{"XDG_RUNTIME_DIR", dir_.path().native()};
};

// `<TMPDIR>/rezored_izede/<lock_id>.occupied` for the current TMPDIR.
std::filesystem::path ownership_lock_file(std::string const& lock_id);

// Copies the built configurable plug-in to `dir / file_name` (a new file, so
// a copy already loaded is never overwritten in place) and writes `config` to
// `dir / (file_name + ".json")`. Returns the copy's path.
std::filesystem::path install_test_plugin(std::filesystem::path const& dir, std::string const& file_name,
                                          nlohmann::json const& config);
// Replaces the configuration of an installed plug-in copy; it is read again
// on every manager call.
void write_plugin_config(std::filesystem::path const& plugin, nlohmann::json const& config);

// The lines of an events log, `<event> <pid>[ <detail>]`; none when the file
// does not exist.
std::vector<std::string> read_events(std::filesystem::path const& path);
// The same lines without the pid: `<event>[ <detail>]`, for order checks.
std::vector<std::string> read_events_without_pid(std::filesystem::path const& path);
// How many lines start with the word `event`.
std::size_t count_events(std::vector<std::string> const& lines, std::string const& event);

// A file's whole content, as bytes; empty when it cannot be read.
std::string read_file(std::filesystem::path const& path);

// A forked child running `body`; its result is the exit code. Parent and
// child exchange single bytes through two pipes to step each other. The child
// never returns into the test framework: it ends with _exit, and an exception
// escaping `body` gives exit code 125.
class ChildProcess {
public:
    using Body = std::function<int(ChildProcess&)>;

    explicit ChildProcess(Body const& body);
    // Kills (SIGKILL) and reaps a child that was not waited for.
    ~ChildProcess();
    ChildProcess(ChildProcess const&) = delete;
    ChildProcess& operator=(ChildProcess const&) = delete;

    pid_t pid() const { return pid_; }
    // From either side: one byte to the other side, or the next one from it
    // ('\0' when the other side has closed its end).
    void send(char byte = '.');
    char receive();
    // Parent only. The exit code, or 128 + the signal that ended the child.
    int wait();
    // The same, or none when the child is still running after `timeout`.
    std::optional<int> wait_for(std::chrono::milliseconds timeout);
    void kill(int signal);

private:
    pid_t pid_ = -1;
    bool in_child_ = false;
    int read_fd_ = -1;
    int write_fd_ = -1;
};

// A program (no shell) run in a child process, its standard output and
// error read by the test through pipes. Every read and wait is bounded.
class RunningProgram {
public:
    // argv[0] is the program's path. Throws std::system_error when it cannot
    // be started (a program that cannot be executed exits with status 127).
    explicit RunningProgram(std::vector<std::string> const& argv);
    // Kills (SIGKILL) and reaps a program that was not waited for.
    ~RunningProgram();
    RunningProgram(RunningProgram const&) = delete;
    RunningProgram& operator=(RunningProgram const&) = delete;

    pid_t pid() const { return child_->pid(); }
    // The next line of standard output, without its newline; none when the
    // output ends or no whole line comes within `timeout`.
    std::optional<std::string> read_line(std::chrono::milliseconds timeout);
    // Reads both outputs to their end and reaps the program: its exit code,
    // or 128 + the signal that ended it; none when it is still running
    // after `timeout`. Once reaped, it gives the same status again.
    std::optional<int> wait_for(std::chrono::milliseconds timeout);
    void signal(int signal_number) { child_->kill(signal_number); }
    // SIGTERM, then SIGKILL when it has not ended within `grace`; reaps it
    // and gives its status.
    int stop(std::chrono::milliseconds grace);
    // What it printed so far and was not returned by read_line.
    std::string const& out() const { return out_; }
    std::string const& err() const { return err_; }

private:
    // Waits until `deadline` for output and reads what came; false once
    // both outputs have ended.
    bool pump(std::chrono::steady_clock::time_point deadline);

    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string out_;
    std::string err_;
    std::optional<int> status_;  // once reaped
    std::optional<ChildProcess> child_;  // last: killed and reaped before the pipes close
};

// Runs `body` in a forked child and returns its exit code (see ChildProcess).
int run_in_child(std::function<int()> const& body);

// The message of the std::runtime_error that `call` throws; empty when it
// throws none (which no expected message equals).
template <typename Call>
std::string runtime_error_of(Call const& call) {
    try {
        call();
    } catch (std::runtime_error const& error) {
        return error.what();
    }
    return {};
}

}  // namespace zelm::test
