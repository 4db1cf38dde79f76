// Child processes of the built zelm, started with posix_spawn and read
// through pipes (or a pseudo-terminal for standard error).
#include "zelm_runner.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <utility>

extern char** environ;

namespace zelm::tool_test {

namespace {

// A child that prints nothing for this long is taken to hang; the test then
// fails instead of waiting for ever. Not a performance limit.
constexpr int hang_guard_ms = 120'000;

[[noreturn]] void throw_errno(std::string const& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Descriptor(Descriptor const&) = delete;
    Descriptor& operator=(Descriptor const&) = delete;

    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

struct Channel {
    Descriptor parent;  // the end the test reads
    Descriptor child;   // the end the child writes
};

Channel make_pipe() {
    std::array<int, 2> fds{};
    if (pipe2(fds.data(), O_CLOEXEC) != 0) {
        throw_errno("pipe2");
    }
    return {Descriptor(fds[0]), Descriptor(fds[1])};
}

Channel make_terminal() {
    int parent = -1;
    int child = -1;
    if (openpty(&parent, &child, nullptr, nullptr, nullptr) != 0) {
        throw_errno("openpty");
    }
    fcntl(parent, F_SETFD, FD_CLOEXEC);
    fcntl(child, F_SETFD, FD_CLOEXEC);
    return {Descriptor(parent), Descriptor(child)};
}

std::vector<std::string> environment(EnvChanges const& changes) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string const text(*entry);
        if (!changes.contains(text.substr(0, text.find('=')))) {
            entries.push_back(text);
        }
    }
    for (auto const& [name, value] : changes) {
        if (value) {
            entries.push_back(name + "=" + *value);
        }
    }
    return entries;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (auto& text : texts) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

class SpawnActions {
public:
    SpawnActions() { posix_spawn_file_actions_init(&actions_); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
    SpawnActions(SpawnActions const&) = delete;
    SpawnActions& operator=(SpawnActions const&) = delete;

    void redirect(int fd, int target) { posix_spawn_file_actions_adddup2(&actions_, fd, target); }
    posix_spawn_file_actions_t const* get() const { return &actions_; }

private:
    posix_spawn_file_actions_t actions_{};
};

// Appends what `fd` has to `buffer`; false at its end (a closed terminal
// reports EIO instead of end of file).
bool drain(int fd, std::string& buffer) {
    std::array<char, 4096> chunk{};
    auto const got = read(fd, chunk.data(), chunk.size());
    if (got > 0) {
        buffer.append(chunk.data(), static_cast<std::size_t>(got));
        return true;
    }
    return got < 0 && errno == EINTR;
}

// Waits for output on the open descriptors and reads it. Closes (sets to -1)
// those that ended; throws when nothing comes for too long.
void pump(int& out_fd, std::string& out, int& err_fd, std::string& err) {
    std::array<pollfd, 2> fds{pollfd{out_fd, POLLIN, 0}, pollfd{err_fd, POLLIN, 0}};
    int const ready = poll(fds.data(), fds.size(), hang_guard_ms);
    if (ready == 0) {
        throw std::runtime_error("zelm printed nothing for two minutes: taken to hang");
    }
    if (ready < 0) {
        if (errno == EINTR) {
            return;
        }
        throw_errno("poll");
    }
    auto serve = [](pollfd const& entry, int& fd, std::string& buffer) {
        if (fd >= 0 && entry.revents != 0 && !drain(fd, buffer)) {
            close(fd);
            fd = -1;
        }
    };
    serve(fds[0], out_fd, out);
    serve(fds[1], err_fd, err);
}

}  // namespace

RunningZelm::RunningZelm(std::vector<std::string> const& arguments, EnvChanges const& env, Stderr stderr_kind,
                         std::filesystem::path const& executable) {
    auto out = make_pipe();
    auto err = stderr_kind == Stderr::terminal ? make_terminal() : make_pipe();
    SpawnActions actions;
    actions.redirect(out.child.get(), STDOUT_FILENO);
    actions.redirect(err.child.get(), STDERR_FILENO);

    std::vector<std::string> argv_texts{executable.native()};
    argv_texts.insert(argv_texts.end(), arguments.begin(), arguments.end());
    auto env_texts = environment(env);
    auto argv = pointers(argv_texts);
    auto envp = pointers(env_texts);
    if (int const error = posix_spawn(&pid_, executable.c_str(), actions.get(), nullptr, argv.data(), envp.data());
        error != 0) {
        throw std::system_error(error, std::generic_category(), "posix_spawn " + executable.native());
    }
    out_fd_ = out.parent.release();
    err_fd_ = err.parent.release();
}

RunningZelm::~RunningZelm() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    for (int fd : {out_fd_, err_fd_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

std::optional<std::string> RunningZelm::read_line() {
    for (;;) {
        if (auto const end = out_.find('\n'); end != std::string::npos) {
            auto line = out_.substr(0, end);
            out_.erase(0, end + 1);
            return line;
        }
        if (out_fd_ < 0) {
            return std::nullopt;
        }
        pump(out_fd_, out_, err_fd_, err_);
    }
}

void RunningZelm::signal(int signal_number) {
    if (pid_ > 0) {
        kill(pid_, signal_number);
    }
}

Outcome RunningZelm::finish() {
    while (out_fd_ >= 0 || err_fd_ >= 0) {
        pump(out_fd_, out_, err_fd_, err_);
    }
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0) {
        if (errno != EINTR) {
            throw_errno("waitpid");
        }
    }
    pid_ = -1;
    int const code = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    return {code, std::exchange(out_, {}), std::exchange(err_, {})};
}

Outcome run_zelm(std::vector<std::string> const& arguments, EnvChanges const& env) {
    return RunningZelm(arguments, env).finish();
}

std::vector<std::string> lines_of(std::string const& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace zelm::tool_test
