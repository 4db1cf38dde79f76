// Running hold's command: spawned with a fresh process's signal state, waited
// for in poll() on its process descriptor and on a signalfd for the requests
// to pass on.
#include "child_command.hpp"

#include "commands.hpp"
#include "exit_status.hpp"
#include "file_descriptor.hpp"

#include <fmt/format.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace zelm::tool {

namespace {

[[noreturn]] void throw_errno(char const* what) { throw std::system_error(errno, std::generic_category(), what); }

// posix_spawn's attributes: nothing blocked and every signal's default
// action in the command, whatever the tool blocks (SIGINT, SIGTERM, for its
// synchronous handling) or ignores (SIGPIPE, for its own output).
class FreshSignalState {
public:
    FreshSignalState() {
        if (int const error = posix_spawnattr_init(&attributes_); error != 0) {
            throw std::system_error(error, std::generic_category(), "cannot prepare the command's start");
        }
        sigset_t none;
        sigemptyset(&none);
        sigset_t all;
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attributes_, &none);
        posix_spawnattr_setsigdefault(&attributes_, &all);
        posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~FreshSignalState() { posix_spawnattr_destroy(&attributes_); }
    FreshSignalState(FreshSignalState const&) = delete;
    FreshSignalState& operator=(FreshSignalState const&) = delete;

    posix_spawnattr_t const* get() const { return &attributes_; }

private:
    posix_spawnattr_t attributes_{};
};

// A started command, killed and reaped if the tool has to give up waiting
// for it: it must not run on once the device is no longer held for it.
class RunningCommand {
public:
    explicit RunningCommand(std::vector<std::string> const& command) {
        std::vector<char*> argv;
        for (auto const& word : command) {
            argv.push_back(const_cast<char*>(word.c_str()));  // posix_spawnp's type; it writes nothing
        }
        argv.push_back(nullptr);
        FreshSignalState const attributes;
        if (int const error = posix_spawnp(&pid_, argv[0], nullptr, attributes.get(), argv.data(), environ);
            error != 0) {
            throw ExitStatus(error == ENOENT ? exit_not_found : exit_cannot_run,
                             fmt::format("cannot run {}: {}", command.front(), std::strerror(error)));
        }
    }
    ~RunningCommand() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    RunningCommand(RunningCommand const&) = delete;
    RunningCommand& operator=(RunningCommand const&) = delete;

    pid_t pid() const { return pid_; }

    // Reaps the command once it has ended; its wait status.
    int reap() {
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0) {
            if (errno != EINTR) {
                throw_errno("cannot reap the command");
            }
        }
        pid_ = -1;
        return status;
    }

private:
    pid_t pid_ = -1;
};

// The terminal sends its SIGINT (Ctrl-C) to the whole foreground process
// group: a command still in the tool's group has had it already, and a
// second one could cut short its own clean-up.
bool command_had_it(signalfd_siginfo const& request, pid_t command) {
    return request.ssi_code == SI_KERNEL && getpgid(command) == getpgrp();
}

void pass_on_request(int requests, pid_t command) {
    signalfd_siginfo request{};
    if (::read(requests, &request, sizeof request) == static_cast<ssize_t>(sizeof request) &&
        !command_had_it(request, command)) {
        ::kill(command, static_cast<int>(request.ssi_signo));
    }
}

}  // namespace

int exit_status_of(int wait_status) {
    return WIFSIGNALED(wait_status) ? exit_signal_base + WTERMSIG(wait_status) : WEXITSTATUS(wait_status);
}

int run_child_command(std::vector<std::string> const& command, TerminationSignals const& signals) {
    FileDescriptor const requests(signalfd(-1, &signals.blocked(), SFD_CLOEXEC));
    if (!requests) {
        throw_errno("cannot watch for SIGINT and SIGTERM");
    }
    RunningCommand running(command);
    FileDescriptor const ended = process_descriptor(running.pid());
    if (!ended) {
        throw_errno("cannot watch the command");
    }
    for (;;) {
        std::array<pollfd, 2> entries{{{ended.get(), POLLIN, 0}, {requests.get(), POLLIN, 0}}};
        if (poll(entries.data(), entries.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw_errno("cannot wait for the command");
        }
        if ((entries[1].revents & POLLIN) != 0) {
            pass_on_request(requests.get(), running.pid());
        }
        if ((entries[0].revents & POLLIN) != 0) {
            return exit_status_of(running.reap());
        }
    }
}

}  // namespace zelm::tool
