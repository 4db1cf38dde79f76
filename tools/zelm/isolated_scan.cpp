// Isolated runs: one forked child per plug-in, watched by a parent that
// stays single-threaded (so forking is safe) and waits in poll() on each
// child's result pipe and process descriptor. The process descriptor, not the
// pipe's end, says that a child is done: a grandchild may hold the pipe open.
#include "isolated_scan.hpp"

#include "file_descriptor.hpp"
#include "signals.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <expected>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <system_error>

namespace zelm::tool {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// How often the parent wakes without news, for progress and interruptions.
constexpr auto tick = 100ms;
// How long a killed child may take to end. One stuck in a system call (a
// driver that does not answer) ends only when the call returns; the scan
// does not wait for that.
constexpr auto kill_grace = 2s;
// The exit status of a child that could not send its records.
constexpr int child_failed = 125;

[[noreturn]] void throw_errno(std::string const& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

struct Pipe {
    FileDescriptor read;
    FileDescriptor write;
};

Pipe make_pipe() {
    std::array<int, 2> fds{};
    if (pipe2(fds.data(), O_CLOEXEC) != 0) {
        throw_errno("cannot create a pipe for an isolated scan");
    }
    return {FileDescriptor(fds[0]), FileDescriptor(fds[1])};
}

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        auto const written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno != EINTR) {
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(std::max<ssize_t>(written, 0)));
    }
    return true;
}

// The child's whole life: do the work, send its results, _exit.
[[noreturn]] void run_child(std::filesystem::path const& plugin, ChildWork const& work, int output, pid_t parent,
                            TerminationSignals const& signals) {
    // Its own group, so that the parent can kill whatever plug-in code starts
    // along with the child; and no life beyond a parent killed outright.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
        _exit(child_failed);
    }
    signals.unblock_in_child();
    int status = child_failed;
    try {
        if (write_all(output, work(plugin))) {
            status = 0;
        }
    } catch (...) {
    }
    // Only what plug-in code printed here: the parent's buffers were empty
    // at the fork.
    std::fflush(nullptr);
    _exit(status);
}

std::string describe_wait_status(int status) {
    if (WIFSIGNALED(status)) {
        char const* description = sigdescr_np(WTERMSIG(status));
        return fmt::format("killed by signal {} ({})", WTERMSIG(status), description ? description : "unknown");
    }
    return fmt::format("exited with status {}", WEXITSTATUS(status));
}

// A forked child leading its own process group. Ending it kills the whole
// group (the child and whatever plug-in code started in it) and reaps the
// child; its destruction ends it if that has not happened.
class ChildGroup {
public:
    explicit ChildGroup(pid_t pid) : pid_(pid), pidfd_(process_descriptor(pid)) {
        if (!pidfd_) {
            int const error = errno;
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            throw std::system_error(error, std::generic_category(), "cannot watch the child of an isolated scan");
        }
        // Set on both sides of the fork: the group must exist before the
        // parent may need to kill it.
        setpgid(pid_, pid_);
    }
    ~ChildGroup() {
        if (!ended_) {
            end();
        }
    }
    ChildGroup(ChildGroup const&) = delete;
    ChildGroup& operator=(ChildGroup const&) = delete;

    // Readable once the child has ended.
    int exit_fd() const { return pidfd_.get(); }

    bool has_ended() const {
        pollfd entry{pidfd_.get(), POLLIN, 0};
        return poll(&entry, 1, 0) > 0;
    }

    // Kills what is left of the group and reaps the child, waiting at most
    // kill_grace for it. The child's wait status; none when it did not end.
    std::optional<int> end() {
        ended_ = true;
        // The group first, while the unreaped child still keeps its id from
        // being reused by another group.
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        pollfd entry{pidfd_.get(), POLLIN, 0};
        int status = 0;
        if (poll(&entry, 1, static_cast<int>(std::chrono::milliseconds(kill_grace).count())) > 0 &&
            waitpid(pid_, &status, 0) == pid_) {
            return status;
        }
        return std::nullopt;
    }

private:
    pid_t pid_;
    FileDescriptor pidfd_;
    bool ended_ = false;
};

std::unique_ptr<ChildGroup> fork_child(std::filesystem::path const& plugin, ChildWork const& work, Pipe& pipe,
                                       TerminationSignals const& signals) {
    pid_t const parent = getpid();
    std::fflush(nullptr);
    pid_t const pid = fork();
    if (pid < 0) {
        throw_errno("cannot fork a child process for " + plugin.native());
    }
    if (pid == 0) {
        pipe.read.reset();
        run_child(plugin, work, pipe.write.get(), parent, signals);
    }
    return std::make_unique<ChildGroup>(pid);
}

// One plug-in's work in a child: the child, the pipe its results come
// through, and what has come so far.
class WorkChild {
public:
    WorkChild(std::size_t index, std::filesystem::path const& plugin, ChildWork const& work,
              TerminationSignals const& signals, Clock::duration timeout)
        : index_(index), plugin_(plugin), deadline_(Clock::now() + timeout) {
        auto pipe = make_pipe();
        child_ = fork_child(plugin, work, pipe, signals);
        output_ = std::move(pipe.read);
        fcntl(output_.get(), F_SETFL, O_NONBLOCK);
    }

    std::size_t index() const { return index_; }
    std::filesystem::path const& plugin() const { return plugin_; }
    Clock::time_point deadline() const { return deadline_; }
    // Both negative once closed, which poll() skips.
    pollfd output_poll() const { return {output_.get(), POLLIN, 0}; }
    pollfd exit_poll() const { return {child_->exit_fd(), POLLIN, 0}; }
    bool has_ended() const { return child_->has_ended(); }

    // Reads what the child has sent so far, without waiting; a child with a
    // full pipe waits for this.
    void read_output() {
        std::array<char, 16384> chunk{};
        while (output_) {
            auto const got = ::read(output_.get(), chunk.data(), chunk.size());
            if (got > 0) {
                received_.append(chunk.data(), static_cast<std::size_t>(got));
                continue;
            }
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0 && errno == EAGAIN) {
                return;
            }
            output_.reset();  // the end, or an error that ends it alike
        }
    }

    // Once the child has ended: what it sent, or how it ended instead.
    ChildOutcome collect() {
        read_output();  // all it wrote is in the pipe by now
        auto const status = child_->end();
        if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
            return std::unexpected(
                ChildFailure{.what = status ? describe_wait_status(*status) : "ended but could not be reaped"});
        }
        return std::move(received_);
    }

    void kill() { child_->end(); }

private:
    std::size_t index_;
    std::filesystem::path plugin_;
    Clock::time_point deadline_;
    std::unique_ptr<ChildGroup> child_;
    FileDescriptor output_;
    std::string received_;
};

// Sleeps until a child sends something or ends, its deadline passes, or a
// tick has gone by.
void wait_for_news(std::vector<std::unique_ptr<WorkChild>> const& running) {
    std::vector<pollfd> entries;
    auto wake = Clock::now() + tick;
    for (auto const& child : running) {
        entries.push_back(child->output_poll());
        entries.push_back(child->exit_poll());
        wake = std::min(wake, child->deadline());
    }
    auto const wait = std::chrono::ceil<std::chrono::milliseconds>(std::max(wake - Clock::now(), Clock::duration{}));
    if (poll(entries.data(), entries.size(), static_cast<int>(wait.count())) < 0 && errno != EINTR) {
        throw_errno("cannot wait for the children of an isolated scan");
    }
}

}  // namespace

void run_isolated(std::vector<std::filesystem::path> const& plugins, ChildWork const& work,
                  IsolationLimits const& limits, OutcomeReport const& report, ProgressReport const& progress) {
    TerminationSignals signals;  // taken in the loop, so that the children are killed on the way out
    auto const timeout = std::chrono::duration_cast<Clock::duration>(limits.timeout);
    auto const jobs = std::max(limits.jobs, 1U);
    std::vector<std::unique_ptr<WorkChild>> running;
    std::size_t next = 0;
    std::size_t done = 0;

    // Settles a child that has ended or run out of time; false while it runs.
    auto settled = [&](std::unique_ptr<WorkChild> const& child) {
        child->read_output();
        if (child->has_ended()) {
            report(child->index(), child->collect());
        } else if (Clock::now() >= child->deadline()) {
            child->kill();
            report(child->index(),
                   std::unexpected(ChildFailure{.timed_out = true,
                                                .what = fmt::format("timed out after {} s", limits.timeout.count())}));
        } else {
            return false;
        }
        ++done;
        return true;
    };

    while (done < plugins.size()) {
        for (; running.size() < jobs && next < plugins.size(); ++next) {
            running.push_back(std::make_unique<WorkChild>(next, plugins[next], work, signals, timeout));
        }
        wait_for_news(running);
        if (auto const signal = signals.poll()) {
            throw std::runtime_error(fmt::format("interrupted by SIG{}", sigabbrev_np(*signal)));
        }
        std::erase_if(running, settled);
        progress(done);
    }
}

ScanOutcome scan_plugins_isolated(std::vector<std::filesystem::path> const& plugins, PluginScan const& scan,
                                  IsolationLimits const& limits, ProgressReport const& progress) {
    std::vector<ScanOutcome> outcomes(plugins.size());
    auto warn_lost = [&plugins](std::size_t index, std::string const& what) {
        spdlog::warn("Isolated scan of {} failed: {}", plugins[index].native(), what);
    };
    auto keep = [&](std::size_t index, ChildOutcome outcome) {
        if (!outcome) {
            warn_lost(index, outcome.error().timed_out ? outcome.error().what + " and was killed" : outcome.error().what);
            return;
        }
        try {
            outcomes[index] = outcome_from_wire(*outcome);
        } catch (nlohmann::json::exception const& e) {
            warn_lost(index, fmt::format("sent unreadable results ({})", e.what()));
        }
    };
    run_isolated(
        plugins, [&scan](std::filesystem::path const& plugin) { return outcome_to_wire(scan(plugin)); }, limits, keep,
        progress);

    ScanOutcome all;
    for (auto& outcome : outcomes) {
        append(all, std::move(outcome));
    }
    return all;
}

}  // namespace zelm::tool
